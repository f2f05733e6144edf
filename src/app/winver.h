// The Windows version probe and the power-off at the end of a run.
#pragma once

#include <cstdint>

// Sets osProbed, useQlixDevice (6.1), useKmdfDevice (6.0) and isWow64.
void ProbeWindowsVersion();
// Ends the Windows session with the given ExitWindowsEx flags (8: power off), enabling the
// shutdown privilege first on the NT family.
void ShutdownSystem(uint32_t flags);
