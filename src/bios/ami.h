// Identification on AMI notebooks: the running BIOS's version and part number, read from the BIOS
// area through the access driver, and the new image's, read from its "$FID" record. romshell only.
#pragma once

#include <cstdint>

#include "core/result_codes.h"

// What the version and part-number reads return besides a number.
inline constexpr int32_t kAmiAbsent = -1;  // marker not found, file not readable
inline constexpr int32_t kAmiDriverFailed = static_cast<int32_t>(kResultDriverLoad);
// CheckAmiPartNumber's result when the image could not be read.
inline constexpr ResultCode kAmiImageUnreadable = 0xFFFFFFFFu;

// The running BIOS's decimal version at offset 26 of the first "AMIBIOS" in the BIOS area.
// kAmiAbsent without the block, kAmiDriverFailed when the access driver cannot be opened.
int32_t ReadAmiBiosVersion();
// The running BIOS's 3-character part number ("DEVEL" offset 5) into partNumber (4 bytes). 0,
// kAmiAbsent without the block, kAmiDriverFailed when the access driver cannot be opened.
int32_t ReadPlatformPartNumber(char* partNumber);
// The image's decimal version ("$FID" offset 52). kAmiAbsent when the file cannot be mapped;
// 0 when it has no "$FID" record.
int32_t ReadAmiImageVersion(const char* fileName);
// The image's 3-character part number ("$FID" offset 9) into partNumber (4 bytes); without a
// record partNumber is left as it was. 0, or kAmiAbsent when the file cannot be mapped.
int32_t ReadAmiImagePartNumber(const char* fileName, char* partNumber);
// Compares the running BIOS's part number with "bios.rom"'s, exactly (letter case counts).
// 0 when equal; kResultPartNumberMismatch with both in currentPartNumber and newPartNumber;
// kResultDriverLoad when the running one cannot be read; kAmiImageUnreadable when the image
// cannot be read.
ResultCode CheckAmiPartNumber();
