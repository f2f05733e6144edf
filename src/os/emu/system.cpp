// Environment, modules and strings, version, power, shutdown, message boxes and the process's
// own values, as the emulated Windows of the machine profile provides them.
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "base/text.h"
#include "emu/codepage.h"
#include "emu/process.h"
#include "emu/winerror.h"
#include "emu/winfs.h"
#include "emu/winsys.h"
#include "emu/world.h"
#include "os/emu/emulated.h"
#include "res/string_table.h"

namespace os {

using namespace os::emulated;
namespace winerr = emu::winerr;

namespace {

constexpr uint32_t kErrorResourceNameNotFound = 1814;


// The running program's module: any distinct address serves as its instance handle.
char gProgramModule;

// The profile's "windows" section; an empty object when no world is attached.
const nlohmann::json& WindowsProfile() {
    static const nlohmann::json kEmpty = nlohmann::json::object();
    const nlohmann::json& w = emu::ProfileValue("/windows");
    return w.is_object() ? w : kEmpty;
}

bool IsNinetyFamily() { return WindowsProfile().value("platform", "nt") == "9x"; }

// Resource libraries loaded as data files. A module handle is the address of its record; the
// records live until the process ends, as the libraries do.
struct LoadedLibrary {
    pe::Image image;
};
std::mutex& gLibrariesMutex = *new std::mutex;
std::vector<std::unique_ptr<LoadedLibrary>>& gLibraries = *new std::vector<std::unique_ptr<LoadedLibrary>>;

}  // namespace

namespace emulated {

const pe::Image* LibraryImage(Module module) {
    if (module == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(gLibrariesMutex);
    for (const auto& library : gLibraries)
        if (library.get() == module) return &library->image;
    return nullptr;
}

}  // namespace emulated

uint32_t GetEnvironmentVariable(const char* name, char* buffer, uint32_t size) {
    std::string value;
    if (name == nullptr || !emu::EnvironmentVariable(name, &value)) {
        SetLastError(winerr::kEnvVarNotFound);
        return 0;
    }
    uint32_t length = static_cast<uint32_t>(value.size());
    if (buffer == nullptr || size <= length) return length + 1;
    CopyText(buffer, size, value.c_str());
    SetLastError(0);
    return length;
}

uint32_t GetModuleFileName(char* buffer, uint32_t size) {
    std::string path = emu::ProgramPath();
    if (buffer == nullptr || size == 0) {
        SetLastError(winerr::kInsufficientBuffer);
        return 0;
    }
    if (path.size() < size) {
        CopyText(buffer, size, path.c_str());
        SetLastError(0);
        return static_cast<uint32_t>(path.size());
    }
    const nlohmann::json& w = WindowsProfile();
    if (!IsNinetyFamily() && w.value("major", 10u) >= 6) {
        // Windows Vista and later cut the name, terminate it and report the short buffer.
        CopyTextN(buffer, size, path.c_str(), size - 1);
        SetLastError(winerr::kInsufficientBuffer);
    } else {
        // Earlier Windows fills the whole buffer and leaves the name unterminated.
        std::memcpy(buffer, path.data(), size);
        SetLastError(0);
    }
    return size;
}

Module ProgramModule() { return &gProgramModule; }

Module LoadResourceLibrary(const char* path) {
    if (path == nullptr) {
        SetLastError(winerr::kInvalidParameter);
        return nullptr;
    }
    emu::ResolvedPath r;
    std::string error;
    uint32_t lastError = 0;
    auto library = std::make_unique<LoadedLibrary>();
    if (emu::ResolveWindowsPath(path, &r) != 0 || !r.exists || r.isDirectory) {
        lastError = winerr::kModNotFound;
        error = "not found";
    } else if (!pe::LoadImage(r.host, &library->image, &error)) {
        lastError = winerr::kBadExeFormat;
    }
    // What a technician checks: which file was mapped, and that it was mapped as data.
    emu::Record({{"event", "loadLibrary"}, {"path", path}, {"asDataFile", true}, {"loaded", lastError == 0},
                 {"error", error}});
    if (lastError != 0) {
        SetLastError(lastError);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(gLibrariesMutex);
    gLibraries.push_back(std::move(library));
    return gLibraries.back().get();
}

int LoadString(Module module, uint32_t id, char* buffer, int size) {
    if (buffer == nullptr || size < 1) return 0;
    buffer[0] = '\0';
    if (module != nullptr && module != ProgramModule()) {
        const pe::Image* image = LibraryImage(module);
        if (image == nullptr) {
            SetLastError(winerr::kInvalidHandle);
            return 0;
        }
        std::u16string text;
        if (!pe::LoadString(*image, id, &text)) {
            SetLastError(kErrorResourceNameNotFound);
            return 0;
        }
        // Windows gives the UTF-16 text in the system's code page, cut to the buffer.
        const std::string ansi = emu::Utf16ToCodePage(text, emu::AnsiCodePage(), static_cast<size_t>(size) - 1);
        std::memcpy(buffer, ansi.data(), ansi.size());
        buffer[ansi.size()] = '\0';
        return static_cast<int>(ansi.size());
    }
    for (const EnglishString& row : kEnglishStrings) {
        if (row.id != id) continue;
        CopyText(buffer, static_cast<size_t>(size), row.text);
        return static_cast<int>(BoundedLength(buffer, static_cast<size_t>(size)));
    }
    SetLastError(kErrorResourceNameNotFound);
    return 0;
}

uint16_t GetSystemDefaultLangID() { return static_cast<uint16_t>(WindowsProfile().value("langId", 0x0409u)); }

bool GetVersionEx(VersionInfo* info) {
    if (info == nullptr || !emu::WorldAttached()) {
        SetLastError(winerr::kInvalidParameter);
        return false;
    }
    const nlohmann::json& w = WindowsProfile();
    info->major = w.value("major", 0u);
    info->minor = w.value("minor", 0u);
    info->build = w.value("build", 0u);
    info->platformId = kPlatformWin32Nt;
    if (IsNinetyFamily()) {
        // The 9x family keeps the version in the build number's high word.
        info->build = (info->major << 24) | (info->minor << 16) | (info->build & 0xFFFF);
        info->platformId = kPlatformWin32Windows;
    }
    return true;
}

uint32_t GetVersion() {
    const nlohmann::json& w = WindowsProfile();
    uint32_t major = w.value("major", 0u), minor = w.value("minor", 0u), build = w.value("build", 0u);
    uint32_t version = (major & 0xFF) | ((minor & 0xFF) << 8);
    if (IsNinetyFamily()) return version | 0x80000000u;
    return version | ((build & 0x7FFF) << 16);
}

bool IsWow64Process(int* isWow64) {
    const nlohmann::json& w = WindowsProfile();
    if (!w.value("hasIsWow64Process", true)) {
        SetLastError(winerr::kProcNotFound);
        return false;
    }
    if (isWow64 == nullptr) {
        SetLastError(winerr::kInvalidParameter);
        return false;
    }
    *isWow64 = w.value("wow64", false) ? 1 : 0;
    return true;
}

bool GetSystemPowerStatus(PowerStatus* status) {
    if (status == nullptr || !emu::WorldAttached()) {
        SetLastError(winerr::kInvalidParameter);
        return false;
    }
    status->acLineStatus = static_cast<uint8_t>(emu::ProfileValue("/power/acLine").get<uint32_t>());
    status->batteryLifePercent = static_cast<uint8_t>(emu::ProfileValue("/power/batteryPercent").get<uint32_t>());
    return true;
}

void EnableShutdownPrivilege() {
    // The 9x family has no process tokens: the calls fail there and nothing changes.
    if (!IsNinetyFamily()) emu::SetShutdownPrivilegeEnabled(true);
}

bool ExitWindowsEx(uint32_t flags) {
    bool privilege = emu::ShutdownPrivilegeEnabled();
    bool accepted = IsNinetyFamily() || privilege;
    emu::Record({{"event", "shutdown"}, {"flags", flags}, {"privilegeEnabled", privilege}, {"accepted", accepted}});
    if (!accepted) {
        SetLastError(winerr::kPrivilegeNotHeld);
        return false;
    }
    return true;
}

uint32_t GetPriorityClass() { return emu::PriorityClass(); }

bool SetPriorityClass(uint32_t priorityClass) {
    switch (priorityClass) {
        case 0x20: case 0x40: case 0x80: case 0x100: case 0x4000: case 0x8000:
            break;
        default:
            SetLastError(winerr::kInvalidParameter);
            return false;
    }
    emu::SetPriorityClassValue(priorityClass);
    emu::Record({{"event", "priorityClass"}, {"class", priorityClass}});
    return true;
}

void Sleep(uint32_t milliseconds) { emu::Sleep(milliseconds); }

uint32_t GetTickCount() { return emu::TickCount(); }

void ExitProcess(uint32_t exitCode) { emu::EndProcess(exitCode, true); }

void WriteStandardError(const char* text) {
    if (text == nullptr) return;
    std::string line = text;
    emu::Record({{"event", "stderr"}, {"text", line}});
    if (line.empty() || line.back() != '\n') line += '\n';
    for (size_t done = 0; done < line.size();) {
        ssize_t n = ::write(2, line.data() + done, line.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
}

int MessageBox(Window owner, const char* text, const char* caption, uint32_t style) {
    // A box without a caption shows "Error", as Windows does. MessageBoxA reads its texts in the
    // system's code page.
    const uint32_t codePage = emu::AnsiCodePage();
    return emu::ShowMessageBox(owner != nullptr, emu::CodePageToUtf8(text != nullptr ? text : "", codePage),
                               emu::CodePageToUtf8(caption != nullptr ? caption : "Error", codePage), style);
}

}  // namespace os
