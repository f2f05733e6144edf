// Who the running notebook is, read from firmware memory through the access driver.
#pragma once

#include "core/result_codes.h"

#if !ROMSHELL_PHX
// Sets isPhoenixBios (0 when "AMIBIOS Version" is found on a 16-byte boundary of the BIOS area).
// 1, or 0 when the access driver cannot be opened.
int DetectAmiBios();
#endif
// Reads model, part number, version and DMI strings of the running platform. kResultDriverLoad
// when the access driver cannot be opened. A field whose block or DMI structure the firmware does
// not publish is left empty.
ResultCode IdentifyPlatform();
// Writes the top megabyte of the physical address space (the BIOS flash) into fileName.
void ReadRomImage(const char* fileName);
