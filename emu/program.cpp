#include "emu/program.h"

#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "emu/process.h"
#include "emu/profile.h"
#include "emu/world.h"

namespace emu {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const char* name, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", name, message.c_str());
    std::fflush(nullptr);
    ::_exit(kFaceError);
}

std::string NewRootFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/romshell-world-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) return {};
    return buffer.data();
}

[[noreturn]] void Run(ProgramEntryFunction entry, const std::string& arguments) {
    Record({{"event", "start"}, {"program", ProgramPath()}, {"commandLine", CommandLine()}});
    std::vector<char> buffer(arguments.begin(), arguments.end());
    buffer.push_back('\0');
    uint32_t code = entry(buffer.data());
    EndProcess(code, true);
}

const char* AnswerName(int answer) {
    switch (answer) {
        case 1: return "OK";
        case 2: return "Cancel";
        case 3: return "Abort";
        case 4: return "Retry";
        case 5: return "Ignore";
        case 6: return "Yes";
        case 7: return "No";
        default: return nullptr;
    }
}

void PrintIndented(const std::string& text) {
    std::string line;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::printf(line.empty() ? "\n" : "    %s\n", line.c_str());
            line.clear();
        } else {
            line += text[i];
        }
    }
}

}  // namespace

void PrintRunSummary(uint32_t exitCode) {
    std::printf("emulated world: %s\n", WorldRoot().c_str());
    for (const nlohmann::json& e : Transcript()) {
        std::string kind = e.value("event", "");
        if (kind == "messageBox") {
            int answer = e.value("answer", 0);
            const char* name = AnswerName(answer);
            std::printf("message box \"%s\" (style 0x%X) answered %s\n", e.value("caption", "").c_str(),
                        e.value("style", 0u), name != nullptr ? name : std::to_string(answer).c_str());
            PrintIndented(e.value("text", ""));
        } else if (kind == "process") {
            if (e.value("started", false))
                std::printf("ran %s: exit code 0x%08X\n", e.value("commandLine", "").c_str(), e.value("exitCode", 0u));
            else
                std::printf("could not run %s: error %u\n", e.value("commandLine", "").c_str(), e.value("error", 0u));
        } else if (kind == "shutdown") {
            std::printf("shutdown (flags 0x%X)%s\n", e.value("flags", 0u),
                        e.value("accepted", false) ? "" : " refused: the privilege was not enabled");
        }
    }
    std::printf("exit code 0x%08X\n", exitCode);
}

void RunEmulatedProgram(int argc, char** argv, const char* name, ProgramEntryFunction entry) {
    if (std::getenv(kEnvRoot) != nullptr) {
        std::string error;
        if (!AttachFromEnvironment(&error)) Fail(name, error);
        Run(entry, ArgumentsOf(CommandLine()));
    }

    CLI::App app{"Runs the program against an emulated notebook and its Windows.", name};
    std::string machine, root, programFile;
    std::vector<std::string> options;
    app.add_option("--machine", machine, "machine profile (JSON), e.g. emu/machines/default.json")->required();
    app.add_option("--root", root, "folder of the emulated world (default: a new folder under $TMPDIR)");
    app.add_option("--program", programFile, "file placed at windows.programPath (default: this executable)")
        ->check(CLI::ExistingFile);
    app.add_option("options", options, "the program's command-line options, after --");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        std::fflush(nullptr);
        ::_exit(rc == 0 ? 0 : kFaceError);
    }

    std::string text, error;
    if (!ReadTextFile(machine, &text, &error)) Fail(name, error);
    if (root.empty()) {
        root = NewRootFolder();
        if (root.empty()) Fail(name, "cannot make a folder for the emulated world");
    }
    if (!CreateWorld(root, text, &error)) Fail(name, machine + ": " + error);

    std::error_code ec;
    std::string source = programFile.empty() ? fs::read_symlink("/proc/self/exe", ec).string() : programFile;
    std::string target = HostPathOf(ProgramPath());
    if (ec || target.empty() || !fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec))
        Fail(name, "cannot place the program file at " + ProgramPath() + (ec ? ": " + ec.message() : ""));

    std::string arguments;
    for (const std::string& o : options) arguments += (arguments.empty() ? "" : " ") + o;
    SetCommandLine("\"" + ProgramPath() + "\"" + (arguments.empty() ? "" : " " + arguments));
    SetTopProgram(true);
    Run(entry, arguments);
}

}  // namespace emu
