// Environment, modules and string resources, the Windows version, power status and shutdown.
#include "os/win32/win32.h"

namespace os {

uint32_t GetEnvironmentVariable(const char* name, char* buffer, uint32_t size) {
    return ::GetEnvironmentVariableA(name, buffer, size);
}

uint32_t GetModuleFileName(char* buffer, uint32_t size) {
    const DWORD length = ::GetModuleFileNameA(nullptr, buffer, size);
    // Windows XP leaves a cut name without its terminator; later versions terminate it. Either
    // way the caller gets a terminated text and the length that tells it was cut.
    if (length == size && size > 0) buffer[size - 1] = '\0';
    return length;
}

Module ProgramModule() { return ::GetModuleHandleA(nullptr); }

Module LoadResourceLibrary(const char* path) {
    // As a data file the library's entry point never runs, and a full path searches no folder.
    return ::LoadLibraryExA(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

int LoadString(Module module, uint32_t id, char* buffer, int size) {
    if (size < 1) return 0;
    int length = ::LoadStringA(win32::ToModule(module), id, buffer, size);
    // A missing string leaves the buffer as it was.
    if (length <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    // LoadStringA cuts a long text to the buffer; the terminator is set here as well, so that no
    // Windows version can leave it out.
    if (length > size - 1) length = size - 1;
    buffer[length] = '\0';
    return length;
}

uint16_t GetSystemDefaultLangID() { return ::GetSystemDefaultLangID(); }

bool GetVersionEx(VersionInfo* info) {
    OSVERSIONINFOEXA version{};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    static_assert(sizeof(OSVERSIONINFOEXA) == 156);
    BOOL ok = ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
    if (!ok) {
        // The 9x family and early NT 4 know only the basic record, which holds every field
        // reported here.
        version = OSVERSIONINFOEXA{};
        version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        static_assert(sizeof(OSVERSIONINFOA) == 148);
        ok = ::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
    }
    if (!ok) return false;
    info->major = version.dwMajorVersion;
    info->minor = version.dwMinorVersion;
    info->build = version.dwBuildNumber;
    info->platformId = version.dwPlatformId;
    return true;
}

uint32_t GetVersion() { return ::GetVersion(); }

bool IsWow64Process(int* isWow64) {
    *isWow64 = 0;
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = ::GetModuleHandleA("kernel32");
    if (kernel == nullptr) return false;
    // Windows before XP SP2 has no such function: the program then counts as on 32-bit Windows.
    const auto function =
        reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
    if (function == nullptr) return false;
    BOOL wow64 = FALSE;
    if (!function(::GetCurrentProcess(), &wow64)) return false;
    *isWow64 = wow64 ? 1 : 0;
    return true;
}

bool GetSystemPowerStatus(PowerStatus* status) {
    SYSTEM_POWER_STATUS power{};
    if (!::GetSystemPowerStatus(&power)) return false;
    status->acLineStatus = power.ACLineStatus;
    status->batteryLifePercent = power.BatteryLifePercent;
    return true;
}

void EnableShutdownPrivilege() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    static_assert((TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY) == 0x28);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (::LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    ::CloseHandle(token);
}

bool ExitWindowsEx(uint32_t flags) { return ::ExitWindowsEx(flags, 0) != FALSE; }

}  // namespace os
