// Running the BIOS flash tool and judging its exit code.
#pragma once

#include "app/result_codes.h"

ResultCode RunBiosFlashTool(const char* biosToolCommand);
