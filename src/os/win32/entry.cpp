// The Windows entry point of both programs.
#include "os/win32/win32.h"

#include "app/entry.h"

// The process exit code is the program's 32-bit result, passed through WinMain's int unchanged.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    return static_cast<int>(ProgramEntry(instance, commandLine));
}
