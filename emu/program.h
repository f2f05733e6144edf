// The face of the emulated program: the main() of the Linux build of romshell.
//
//   romshell --machine PROFILE [--root DIR] [--program FILE] [-- OPTIONS...]
//
// makes a fresh world from PROFILE (in DIR, or in a new folder under $TMPDIR), places FILE (or
// this executable) at the profile's windows.programPath, runs the program's entry with OPTIONS
// joined by blanks, and prints what a person would have seen. Started by an emulated
// CreateProcess instead (the world in the environment), it attaches to that world and takes its
// options from the Windows command line, as a Windows program does.
#pragma once

#include <cstdint>

namespace emu {

// The program's entry: takes the writable command-line text after the program name and returns
// the process exit code.
using ProgramEntryFunction = uint32_t (*)(char* commandLine);

// Runs the program as described above and ends the process with the low byte of its exit code
// (what Windows hands a shell). Errors of the arguments or the profile end it with 125.
[[noreturn]] void RunEmulatedProgram(int argc, char** argv, const char* name, ProgramEntryFunction entry);

// Exit status of the face when it cannot start the program (bad arguments, bad profile).
constexpr int kFaceError = 125;

// Prints the run's summary to standard output: message boxes with caption and text, processes,
// the shutdown, and the exit code in hex.
void PrintRunSummary(uint32_t exitCode);

}  // namespace emu
