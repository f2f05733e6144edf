// The program's entry, called by the seam's entry point (WinMain on Windows, the emulated
// program's main on Linux).
#pragma once

#include <cstdint>

#include "os/os.h"

// Runs the update with the command-line text after the program name (the parser consumes it, so
// it must be writable) and returns the process exit code: 0 or a ResultCode.
uint32_t ProgramEntry(os::Module instance, char* commandLine);
