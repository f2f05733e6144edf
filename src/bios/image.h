// The BIOS and MICOM images of the package: choice, flash block marks and identification.
#pragma once

#include "core/result_codes.h"

// Copies the image and the MICOM image that match the platform to "bios.wph" and "kbc.bin".
ResultCode SelectUpdateImages();
// Edits the flash block table of "bios.wph" as the flag word asks. 1 when the last block was
// re-marked.
int MarkFlashBlocks();
// Reads model, version and part number of an image file into newModel, newVersion, newPartNumber.
void ReadImageIdentity(const char* fileName);
