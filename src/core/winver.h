// The Windows version probe: which access device this Windows uses and whether it is 64-bit.
// The run record keeps the answers for the hardware layer and the update sequence.
#pragma once

#include <cstdint>

// Sets osProbed, useQlixDevice (6.1), useKmdfDevice (6.0) and isWow64.
void ProbeWindowsVersion();
