// Checks before anything is flashed: power, free disk space, hard-disk password protection.
#pragma once

#include <cstdint>

#include "core/result_codes.h"

// 0, or the power failure (no AC adapter, battery missing or below 30 %, or both).
ResultCode CheckPower();
// 1 when the working directory's disk has 2 MB free; otherwise shows its message and returns 0.
int CheckDiskSpace();
// Bit mask of the physical drives 0 to 3 with ATA security enabled; 0 when none.
uint32_t CheckHddPassword();
