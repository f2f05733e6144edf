// Processes of the emulated Windows: native host programs started with the Windows rules for the
// command line, the current directory and 32-bit exit codes.
//
// A started process finds its world through its environment:
//   ROMSHELL_EMU_ROOT          the world's root
//   ROMSHELL_EMU_COMMAND_LINE  the whole Windows command line (GetCommandLine)
//   ROMSHELL_EMU_DIRECTORY     its Windows current directory
//   ROMSHELL_EMU_PROGRAM       the Windows path of its program file
//   ROMSHELL_EMU_EXIT_FILE     where ExitTool leaves the full 32-bit exit code
// and its argv holds the words after the program name (blanks separate, double quotes group).
// Its host working directory is the folder behind its Windows current directory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emu {

constexpr const char* kEnvRoot = "ROMSHELL_EMU_ROOT";
constexpr const char* kEnvCommandLine = "ROMSHELL_EMU_COMMAND_LINE";
constexpr const char* kEnvDirectory = "ROMSHELL_EMU_DIRECTORY";
constexpr const char* kEnvProgram = "ROMSHELL_EMU_PROGRAM";
constexpr const char* kEnvExitFile = "ROMSHELL_EMU_EXIT_FILE";

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

struct ChildProcess;
using ChildHandle = std::shared_ptr<ChildProcess>;

// CreateProcess: application, when not empty, is the program file as it stands (as an
// application name is to Windows: no ".exe" appended, a name without a folder taken from the
// current directory). Otherwise the first word of commandLine names the program (quoted, or
// unquoted up to a blank; an unquoted name with blanks is tried at each blank in turn, as Windows
// does), ".exe" is appended when its last component has no extension, and a name without a
// folder is looked for in the folder of this process's program and then in the current directory. directory is the
// child's current directory (empty: this process's). 0, or kFileNotFound (no such program),
// kDirectory (directory is not a folder), kBadExeFormat (the file cannot be run). The world's
// state is flushed before the child starts; when it ends, the state is read again and the
// process is recorded in the transcript.
uint32_t StartProcess(const std::string& application, const std::string& commandLine, const std::string& directory,
                      ChildHandle* child);
// Waits up to milliseconds for the child's end; true when it has ended.
bool WaitProcess(const ChildHandle& child, uint32_t milliseconds);
// True and the exit code once the child has ended.
bool ProcessExitCode(const ChildHandle& child, uint32_t* exitCode);

// The text after the program name, as the C runtime hands it to WinMain (blanks skipped).
std::string ArgumentsOf(const std::string& commandLine);
// The words of a command line as a C runtime's argv sees them: blanks separate, double quotes
// group and are removed.
std::vector<std::string> SplitCommandLine(const std::string& text);

// The Windows exit code of a host process's wait status: its exit status, or the exception code
// of the crash that a signal stands for (0xC0000005 for SIGSEGV and SIGBUS, ...).
uint32_t ExitCodeOfWaitStatus(int status);

// Ends an emulated tool with a full 32-bit Windows exit code: leaves the code for the parent,
// flushes the world and exits (the host sees the code's low byte).
[[noreturn]] void ExitTool(int32_t code);
// Ends this process as ExitProcess does: records {"event":"exit"} when recordExit, leaves the
// code for a parent, flushes, prints the run's summary when this is the top program, and exits
// with the code's low byte. Threads still running end with it.
[[noreturn]] void EndProcess(uint32_t code, bool recordExit);

// Internal to the world: where this process leaves its exit code (empty: nowhere).
void SetExitCodeFile(const std::string& hostPath);

}  // namespace emu
