// The Windows entry point of both programs.
#include "os/win32/win32.h"

#include "app/entry.h"

namespace {

// The program runs as administrator but is started from a folder the user owns (often Downloads)
// with TEMP as a likely current directory: a library that a system DLL loads by name would be
// looked for there first. Before anything else runs, DLLs are looked for in the system folder
// only. The call is looked up at run time, as Windows before 8 (without its update) lacks it;
// there SetDllDirectory("") at least takes the current directory out of the search, and Windows
// without that call too has nothing more to offer.
void RestrictDllSearchToSystemFolder() {
    constexpr DWORD kLoadLibrarySearchSystem32 = 0x00000800;
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return;
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault != nullptr && setDefault(kLoadLibrarySearchSystem32)) return;
    using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCSTR);
    const auto setDirectory = reinterpret_cast<SetDllDirectoryFunction>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetDllDirectoryA")));
    if (setDirectory != nullptr) setDirectory("");
}

}  // namespace

// The process exit code is the program's 32-bit result, passed through WinMain's int unchanged.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    RestrictDllSearchToSystemFolder();
    return static_cast<int>(ProgramEntry(instance, commandLine));
}
