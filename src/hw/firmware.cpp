#include "hw/firmware.h"

#include <cstring>
#include <new>

#include "core/messages.h"
#include "base/bytes.h"
#include "hw/ports.h"

uint8_t swSmiRecord[kSwSmiRecordSize] = {};

namespace {

constexpr const char* kSwSmiSignature = "SwSmi@";
constexpr uint32_t kNotFound = 0xFFFFFFFFu;

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
        LogStep("SMI request %u not answered", static_cast<unsigned>(function));
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
