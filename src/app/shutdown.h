// The power-off at the end of a run.
#pragma once

#include <cstdint>

// Ends the Windows session with the given ExitWindowsEx flags (8: power off), enabling the
// shutdown privilege first on the NT family.
void ShutdownSystem(uint32_t flags);
