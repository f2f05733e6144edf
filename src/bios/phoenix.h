// Running the BIOS flash tool and judging its exit code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/result_codes.h"

// Runs workDir + biosToolCommand in the working directory and waits for it. 0 when the tool ended
// with any code other than a refusal; kResultModelRefused (-120) or kResultBiosNotNewer (-110,
// -109) when it refused the image; kResultBiosUpdate when it could not be run at all.
ResultCode RunBiosFlashTool(const char* biosToolCommand);

// ---------------------------------------------------------------------------------------------
// Running a flash tool (the BIOS tool here, the MICOM tool in micom/).

// A tool's command line: the working directory followed by the command text.
inline constexpr size_t kToolCommandLineSize = 512;

// Writes workDir immediately followed by commandText into line, so that the first word names the
// tool by its full path. False when the result does not fit (line then holds an empty text).
bool BuildToolCommandLine(const char* commandText, char* line, size_t size);

// How a tool run ended.
enum class ToolRun {
    Ended,           // the tool ended and its exit code was read
    ExitCodeUnread,  // the tool ended but its exit code could not be read
    NotStarted,      // the tool could not be started, or its end could not be waited for
};

// Starts commandLine with workDir as its current directory and waits for its end without a time
// limit: a flash tool stopped in the middle of a write can leave the notebook unable to start.
// exitCode receives the tool's exit code (Ended), the system's last error value (ExitCodeUnread)
// or the reason it did not start (NotStarted).
ToolRun RunToolToEnd(const char* commandLine, uint32_t* exitCode);
