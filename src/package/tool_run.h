// Running a flash tool (the BIOS tools of bios/, the MICOM tool of micom/) in the working
// directory to its end.
#pragma once

#include <cstddef>
#include <cstdint>

// A tool's command line: the working directory followed by the command text.
inline constexpr size_t kToolCommandLineSize = 512;

// Writes workDir immediately followed by commandText into line, so that the first word names the
// tool by its full path. False when the result does not fit (line then holds an empty text).
bool BuildToolCommandLine(const char* commandText, char* line, size_t size);

// The program file of a tool command line built by BuildToolCommandLine: the working directory,
// the first word after it, and ".exe" when that word has no extension. False (path empty) when
// the line does not begin with the working directory or the path does not fit.
bool ToolProgramPath(const char* commandLine, char* path, size_t size);

// How a tool run ended.
enum class ToolRun {
    Ended,           // the tool ended and its exit code was read
    ExitCodeUnread,  // the tool ended but its exit code could not be read
    NotStarted,      // the tool could not be started, or its end could not be waited for
};

// Starts commandLine, with its program named by ToolProgramPath and workDir as its current
// directory, and waits for its end without a time limit: a flash tool stopped in the middle of a write can leave the notebook unable to start.
// exitCode receives the tool's exit code (Ended), the system's last error value (ExitCodeUnread)
// or the reason it did not start (NotStarted).
ToolRun RunToolToEnd(const char* commandLine, uint32_t* exitCode);
