#include "emu/tools/tool_common.h"

#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>

#include "emu/hardware.h"
#include "emu/process.h"
#include "emu/winfs.h"
#include "emu/world.h"

namespace emu::tools {

void AttachOrExit(const char* toolName) {
    std::string error;
    if (!AttachFromEnvironment(&error)) {
        std::fprintf(stderr, "%s: %s\n", toolName, error.c_str());
        std::fflush(nullptr);
        ::_exit(99);
    }
}

ToolKnobs KnobsOf(const std::string& name) {
    ToolKnobs k;
    const nlohmann::json& exitCode = ProfileValue("/tools/" + name + "/exitCode");
    if (exitCode.is_number_integer()) k.exitCode = exitCode.get<int64_t>();
    const nlohmann::json& crash = ProfileValue("/tools/" + name + "/crash");
    k.crash = crash.is_boolean() && crash.get<bool>();
    return k;
}

void ApplyKnobs(const ToolKnobs& knobs, const std::string& eventKind, const std::string& toolName) {
    // What the keyboard and the mice were while the tool ran: the updater holds them off around
    // each flash tool, so that nobody types into the flash or pulls a window over it.
    nlohmann::json mice = nlohmann::json::array();
    for (const PresentDeviceState& d : PresentDevices()) {
        if (StartsWithNoCase(d.className, "mouse")) mice.push_back(d.enabled);
    }
    const KeyboardControllerState keyboard = KeyboardController();
    Record({{"event", "inputDevicesWhileTool"},
            {"tool", toolName},
            {"keyboardInterface", keyboard.keyboardEnabled},
            {"auxiliaryInterface", keyboard.auxiliaryEnabled},
            {"miceEnabled", mice}});
    if (knobs.crash) {
        Record({{"event", eventKind}, {"tool", toolName}, {"commandLine", CommandLine()}, {"outcome", "crashed"}});
        FlushWorld();
        // The default action, not a sanitizer's handler: the parent must see an access violation.
        ::signal(SIGSEGV, SIG_DFL);
        ::kill(::getpid(), SIGSEGV);
        ::pause();
    }
    if (knobs.exitCode) {
        int32_t code = static_cast<int32_t>(static_cast<uint32_t>(*knobs.exitCode));
        Record({{"event", eventKind},
                {"tool", toolName},
                {"commandLine", CommandLine()},
                {"outcome", "exitCodeKnob"},
                {"exitCode", code}});
        ExitTool(code);
    }
}

bool ReadWindowsFile(const std::string& windowsPath, std::vector<uint8_t>* bytes) {
    std::string host = HostPathOf(windowsPath);
    return !host.empty() && emu::ReadHostFile(host, bytes);
}

bool WriteWindowsFile(const std::string& windowsPath, const std::vector<uint8_t>& bytes) {
    std::string host = HostPathOf(windowsPath);
    if (host.empty()) return false;
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool AppendWindowsText(const std::string& windowsPath, const std::string& text) {
    std::string host = HostPathOf(windowsPath);
    if (host.empty()) return false;
    std::ofstream out(host, std::ios::binary | std::ios::app);
    out << text;
    return static_cast<bool>(out);
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && Upper(text.substr(0, prefix.size())) == Upper(prefix);
}

}  // namespace emu::tools
