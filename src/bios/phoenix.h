// Running the BIOS flash tool and judging its exit code.
#pragma once

#include "core/result_codes.h"

// Runs workDir + biosToolCommand in the working directory and waits for it. 0 when the tool ended
// with any code other than a refusal; kResultModelRefused (-120) or kResultBiosNotNewer (-110,
// -109) when it refused the image; kResultBiosUpdate when it could not be run at all.
ResultCode RunBiosFlashTool(const char* biosToolCommand);
