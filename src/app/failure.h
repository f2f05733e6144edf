// The failure exit, and the end of a run that cannot reach the hardware at all.
#pragma once

#include "core/result_codes.h"

// Ends the update with code: cleans up as far as the run had got and shows the code's caption
// and text, as the code's row of the result table says. Returns code, which becomes the process
// exit code.
ResultCode FailUpdate(ResultCode code);

// The display utility's devices (Windows 6.0 and 6.1) are used as they are: when they cannot be
// opened nothing this program does can help, so the user is told to install the utility and the
// process ends with exit code -1. Installed as the access driver's failure handler by programs
// whose record asks for it.
[[noreturn]] void EndWithoutDisplayUtility();
