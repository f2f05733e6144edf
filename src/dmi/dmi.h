// DMI values written through the BIOS flash tool's arguments: the system serial number, the BIOS
// flag and the purchase date.
#pragma once

#include <cstddef>

#include "core/result_codes.h"

// Appends the DMI arguments of this run to biosToolCommand (a buffer of commandSize bytes):
// nothing, the current values with a corrected BIOS flag, or the values a technician enters in
// the DMI settings dialog (DMI-only packages). 0 to go on with the flash tool; *cancelled is then
// true when the technician cancelled the dialog, after the working files were removed and the
// "Stop Update" message shown: the run ends with 0 and nothing is flashed. A failure code when
// the arguments do not fit the command line (nothing is appended: a cut value would be written
// into the notebook) or the dialog cannot be opened.
ResultCode BuildDmiArguments(char* biosToolCommand, size_t commandSize, bool* cancelled);
