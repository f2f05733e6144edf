// DMI values written through the BIOS flash tool's arguments.
#pragma once

// Appends the DMI arguments to biosToolCommand. Returns 1.
int BuildDmiArguments(char* biosToolCommand);
