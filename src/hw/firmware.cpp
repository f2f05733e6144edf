#include "hw/firmware.h"

#include <cstring>
#include <new>

#include "app/messages.h"
#include "app/variant.h"
#include "base/bytes.h"
#include "hw/ports.h"

uint8_t swSmiRecord[kSwSmiRecordSize] = {};

namespace {

constexpr const char* kDmiAnchor = "_DMI_";
constexpr uint32_t kDmiAnchorStep = 16;
constexpr const char* kSwSmiSignature = "SwSmi@";
constexpr uint32_t kNotFound = 0xFFFFFFFFu;

// Fields of the legacy DMI entry point.
constexpr uint64_t kDmiTableLengthOffset = 6;   // u16
constexpr uint64_t kDmiTableAddressOffset = 8;  // u32

// Fields of the SwSmi@ record.
constexpr int kSmiPortOffset = 6;       // u16
constexpr int kSmiSecondCommand = 8;    // after the request buffer is placed
constexpr int kSmiFirstCommand = 9;     // before the request buffer is placed
constexpr int kSmiThirdCommand = 10;    // after the BIOS completed the request
constexpr int kSmiBufferOffset = 11;    // u16
constexpr int kSmiBufferSegment = 13;   // u16
constexpr int kSmiGate = 15;

// The request buffer in physical memory.
constexpr uint32_t kSmiRequestSize = 21;
constexpr int kSmiFunctionOffset = 2;   // u16
constexpr int kSmiStatusOffset = 4;
constexpr int kSmiDataOffset = 5;
constexpr uint8_t kSmiComplete = 0xAA;

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

}  // namespace

uint64_t SearchPhysicalMemory(uint64_t address, uint32_t length, const char* signature, uint32_t step) {
    const size_t n = std::strlen(signature);
    if (n == 0 || step == 0 || length < n) return 0;
    // Zeroed, so that a read the device refuses is searched as empty memory.
    uint8_t* buffer = new (std::nothrow) uint8_t[length]();
    if (buffer == nullptr) return 0;
    ReadPhysicalMemory(address, length, buffer);

    uint64_t offset = 0;
    bool found = false;
    for (;;) {
        if (std::memcmp(buffer + offset, signature, n) == 0) {
            found = true;
            break;
        }
        offset += step;
        if (offset >= length - n) break;
    }
    delete[] buffer;
    return found ? address + offset : 0;
}

uint64_t FindDmiEntryPoint() {
    return SearchPhysicalMemory(kBiosAreaAddress, kBiosAreaSize, kDmiAnchor, kDmiAnchorStep);
}

uint64_t SearchDMIBlock(uint8_t type) {
    if (!kPhxVariant) LogLine("Search DMI String...");
    const uint64_t entryPoint = FindDmiEntryPoint();
    if (!kPhxVariant) LogLine("Search Result : %08X", static_cast<uint32_t>(entryPoint));
    const uint64_t structure = entryPoint != 0 ? WalkDmiTable(entryPoint, type) : 0;
    if (!kPhxVariant) LogLine("return from SearchDMIBlock...");
    return structure;
}

uint32_t FindBytes(const uint8_t* buffer, const char* signature, uint32_t size) {
    const size_t n = std::strlen(signature);
    for (uint64_t offset = 0; offset + n < size; ++offset) {
        if (std::memcmp(buffer + offset, signature, n) == 0) return static_cast<uint32_t>(offset);
    }
    return kNotFound;
}

int FindSwSmiRecord() {
    uint8_t* area = new (std::nothrow) uint8_t[kBiosAreaSize]();
    if (area == nullptr) return 0;
    ReadPhysicalMemory(kBiosAreaAddress, kBiosAreaSize, area);
    const uint32_t offset = FindBytes(area, kSwSmiSignature, kBiosAreaSize);
    if (offset == kNotFound) {
        delete[] area;
        return 0;
    }
    // A signature near the end of the area leaves part of the record outside it: those bytes
    // are kept as zero (no gate) rather than read from beyond the buffer.
    const uint32_t available = kBiosAreaSize - offset;
    const uint32_t copied = available < kSwSmiRecordSize ? available : kSwSmiRecordSize;
    std::memset(swSmiRecord, 0, sizeof swSmiRecord);
    std::memcpy(swSmiRecord, area + offset, copied);
    delete[] area;
    return swSmiRecord[kSmiGate] >= kSwSmiMinimumGate ? 1 : 0;
}

int CallSwSmi(uint16_t function, uint8_t* data, uint32_t inputLength) {
    uint8_t request[kSmiRequestSize] = {};
    request[0] = 'C';
    request[1] = 'X';
    StoreU16(request + kSmiFunctionOffset, function);
    if (inputLength > kSwSmiDataSize) inputLength = kSwSmiDataSize;
    if (inputLength != 0) std::memcpy(request + kSmiDataOffset, data, inputLength);

    const uint16_t port = LoadU16(swSmiRecord + kSmiPortOffset);
    const uint64_t address = static_cast<uint64_t>(LoadU16(swSmiRecord + kSmiBufferSegment)) * 16 +
                             LoadU16(swSmiRecord + kSmiBufferOffset);

    WritePortByte(port, swSmiRecord[kSmiFirstCommand]);
    WritePhysicalMemory(address, kSmiRequestSize, request);
    WritePortByte(port, swSmiRecord[kSmiSecondCommand]);
    const bool answered = PollUntil(kSwSmiPollBound, [&request, address] {
        ReadPhysicalMemory(address, kSmiRequestSize, request);
        return request[kSmiStatusOffset] == kSmiComplete;
    });
    // The closing command goes out in either case, so the BIOS sees every request it was given
    // ended the same way.
    WritePortByte(port, swSmiRecord[kSmiThirdCommand]);

    if (!answered) {
        if (!kPhxVariant) LogLine("SMI request %u not answered", static_cast<unsigned>(function));
        std::memset(data, 0xFF, kSwSmiDataSize);
        return 0;
    }
    // The answer is a text of at most 16 bytes: copied up to its first zero byte, zero after it.
    bool ended = false;
    for (int i = 0; i < kSwSmiDataSize; ++i) {
        const uint8_t byte = request[kSmiDataOffset + i];
        if (byte == 0) ended = true;
        data[i] = ended ? 0 : byte;
    }
    return 1;
}
