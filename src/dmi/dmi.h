// DMI values written through the BIOS flash tool's arguments.
#pragma once

// Appends the DMI arguments to biosToolCommand. Returns 1; 0 when the DMI values the run asks
// for cannot be written by this build.
int BuildDmiArguments(char* biosToolCommand);
