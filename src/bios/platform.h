// Who the running notebook is, read from firmware memory through the access driver.
#pragma once

#include "app/result_codes.h"

// Sets isPhoenixBios (0 when "AMIBIOS Version" is found). 1, or 0 when the access driver cannot
// be opened.
int DetectAmiBios();
// Reads model, part number, version and DMI strings of the running platform.
ResultCode IdentifyPlatform();
// Writes the top megabyte of the physical address space (the BIOS flash) into fileName.
void ReadRomImage(const char* fileName);
