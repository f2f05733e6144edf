#include "dmi/dmi_read.h"

#include <cstring>

#include "base/bytes.h"
#include "base/text.h"
#include "core/messages.h"
#include "hw/firmware.h"
#include "hw/ports.h"

namespace {

constexpr const char* kDmiAnchor = "_DMI_";
constexpr uint32_t kDmiAnchorStep = 16;

// Fields of the legacy DMI entry point.
constexpr uint64_t kDmiTableLengthOffset = 6;   // u16
constexpr uint64_t kDmiTableAddressOffset = 8;  // u32

// Blocks read while stepping over one string that is longer than a block. A string set that
// runs on further than this is not a DMI string set: the string counts as missing.
constexpr int kDmiStringMaxBlocks = 8;

uint8_t ReadByteAt(uint64_t address) {
    uint8_t value = 0xFF;
    ReadPhysicalMemory(address, 1, &value);
    return value;
}

// Walks the structure table from the entry point at e. Every read stays inside the table as the
// entry point sizes it: a table without the wanted type, or a structure whose strings run past
// the table's end, gives 0 instead of a walk through whatever memory follows.
uint64_t WalkDmiTable(uint64_t entryPoint, uint8_t type) {
    uint8_t lengthField[2] = {};
    ReadPhysicalMemory(entryPoint + kDmiTableLengthOffset, sizeof lengthField, lengthField);
    uint8_t pointer[8] = {};
    ReadPhysicalMemory(entryPoint + kDmiTableAddressOffset, sizeof pointer, pointer);
    const uint64_t table = LoadU32(pointer);
    const uint64_t end = table + LoadU16(lengthField);
    if (table == 0 || table == 0xFFFFFFFFu) return 0;

    uint64_t p = table;
    while (p < end) {
        if (ReadByteAt(p) == type) return p;
        if (p + 1 >= end) return 0;
        // The strings follow the formatted area and end with two zero bytes; a structure without
        // strings has the two zero bytes right after its formatted area.
        uint64_t q = p + ReadByteAt(p + 1);
        for (;;) {
            if (q + 1 >= end) return 0;
            uint8_t pair[2] = {0xFF, 0xFF};
            ReadPhysicalMemory(q, sizeof pair, pair);
            if (pair[0] == 0 && pair[1] == 0) break;
            ++q;
        }
        p = q + 2;
    }
    return 0;
}

// Finds where string number `number` (1 based) of the DMI structure at `structure` begins: the
// strings follow the formatted area (length at offset 1), each ended by a zero byte, and the set
// ends with an empty string. 0 when the structure or the string does not exist.
uint64_t FindDmiString(uint64_t structure, int number) {
    if (structure == 0 || number < 1) return 0;
    uint8_t length = 0;
    ReadPhysicalMemory(structure + 1, 1, &length);
    uint64_t address = structure + length;
    for (int n = 1; n < number; ++n) {
        // Step over string n: up to its zero byte, one block at a time.
        bool stepped = false;
        for (int blocks = 0; blocks < kDmiStringMaxBlocks && !stepped; ++blocks) {
            uint8_t block[kDmiStringBlock];
            std::memset(block, 0xFF, sizeof block);
            ReadPhysicalMemory(address, sizeof block, block);
            if (blocks == 0 && block[0] == 0) return 0;  // the set ended before string `number`
            const void* end = std::memchr(block, 0, sizeof block);
            if (end != nullptr) {
                address += static_cast<const uint8_t*>(end) - block + 1;
                stepped = true;
            } else {
                address += sizeof block;
            }
        }
        if (!stepped) return 0;
    }
    return address;
}

}  // namespace

uint64_t FindDmiEntryPoint() {
    return SearchPhysicalMemory(kBiosAreaAddress, kBiosAreaSize, kDmiAnchor, kDmiAnchorStep);
}

uint64_t SearchDMIBlock(uint8_t type) {
    LogStep("Search DMI String...");
    const uint64_t entryPoint = FindDmiEntryPoint();
    LogStep("Search Result : %08X", static_cast<uint32_t>(entryPoint));
    const uint64_t structure = entryPoint != 0 ? WalkDmiTable(entryPoint, type) : 0;
    LogStep("return from SearchDMIBlock...");
    return structure;
}

void ReadDmiString(uint64_t structure, int number, char* out, size_t size) {
    out[0] = '\0';
    const uint64_t address = FindDmiString(structure, number);
    if (address == 0) return;
    char block[kDmiStringBlock];
    std::memset(block, 0, sizeof block);
    ReadPhysicalMemory(address, sizeof block, block);
    CopyTextN(out, size, block, kDmiStringBlock - 1);
}
