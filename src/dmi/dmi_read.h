// Reading the DMI structures and their strings from firmware memory (the legacy entry point in
// the BIOS area). Callers hold the access driver open (OpenAccessDriver) around these operations.
#pragma once

#include <cstddef>
#include <cstdint>

// DMI structure types and the strings the program takes from them.
inline constexpr uint8_t kDmiBiosInformation = 0;
inline constexpr int kBiosVersionString = 2;
inline constexpr int kBiosDateString = 3;
inline constexpr uint8_t kDmiSystemInformation = 1;
inline constexpr int kSerialNumberString = 4;
inline constexpr uint8_t kDmiOemStrings = 11;

// A DMI string is read as one block of this size, so strings of up to 31 characters are kept.
inline constexpr uint32_t kDmiStringBlock = 32;

// The legacy DMI entry point ("_DMI_" on a 16-byte boundary of the BIOS area); 0 when absent.
uint64_t FindDmiEntryPoint();
// The physical address of the first DMI structure of type; 0 when there is no entry point, no
// such structure within the structure table, or the table is malformed.
uint64_t SearchDMIBlock(uint8_t type);
// Copies DMI string `number` (1 based) of the structure at `structure` into out: read as one
// 32-byte block and kept to 31 characters. Empty when the structure or the string does not exist.
void ReadDmiString(uint64_t structure, int number, char* out, size_t size);
