#include "hw/ports.h"

#include <cstring>
#include <new>

#include "core/context.h"
#include "base/bytes.h"
#include "hw/driver.h"
#include "os/os.h"

namespace {

// ---------------------------------------------------------------------------------------------
// I/O control codes

enum class Request { ReadByte, WriteByte, ReadWord, WriteWord, ReadDword, WriteDword, ReadMemory, WriteMemory };

// A buffered-method, any-access device I/O control code.
constexpr uint32_t ControlCode(uint32_t deviceType, uint32_t function) {
    constexpr uint32_t kMethodBuffered = 0;
    constexpr uint32_t kFileAnyAccess = 0;
    return (deviceType << 16) | (kFileAnyAccess << 14) | (function << 2) | kMethodBuffered;
}

struct RequestCodes {
    Request request;
    uint32_t qlix;
    uint32_t kmdf;
    uint32_t addmem;
    uint32_t memio;
};

// The VxD has no word or dword port codes: it is sent the byte codes, with the access width in
// its record, and the memory codes of the ADDMEM driver.
constexpr RequestCodes kRequestCodes[] = {
    //  request               Qlix        Kmdf        Addmem    Memio
    {Request::ReadByte,    0x9C412008, 0x9C412400, 0x222038, 0x9C412400},
    {Request::WriteByte,   0x9C412008, 0x9C412404, 0x222034, 0x9C412404},
    {Request::ReadWord,    0x9C412008, 0x9C412408, 0x222040, 0x9C412400},
    {Request::WriteWord,   0x9C412008, 0x9C41240C, 0x22203C, 0x9C412404},
    {Request::ReadDword,   0x9C412008, 0x9C412410, 0x222048, 0x9C412400},
    {Request::WriteDword,  0x9C412008, 0x9C412414, 0x222044, 0x9C412404},
    {Request::ReadMemory,  0x9C41200C, 0x9C412800, 0x22204C, 0x22204C},
    {Request::WriteMemory, 0x9C41200C, 0x9C412804, 0x222050, 0x222050},
};

constexpr bool RowsInRequestOrder() {
    for (size_t i = 0; i < sizeof kRequestCodes / sizeof kRequestCodes[0]; ++i) {
        if (static_cast<size_t>(kRequestCodes[i].request) != i) return false;
    }
    return true;
}
static_assert(RowsInRequestOrder(), "kRequestCodes is indexed by Request");
// The codes decode as device type and function number.
static_assert(ControlCode(0x9C41, 0x802) == 0x9C412008 && ControlCode(0x9C41, 0x803) == 0x9C41200C);
static_assert(ControlCode(0x9C41, 0x900) == 0x9C412400 && ControlCode(0x9C41, 0x905) == 0x9C412414);
static_assert(ControlCode(0x9C41, 0xA00) == 0x9C412800 && ControlCode(0x9C41, 0xA01) == 0x9C412804);
static_assert(ControlCode(0x22, 0x80D) == 0x222034 && ControlCode(0x22, 0x814) == 0x222050);

uint32_t CodeFor(Request request, AccessDriverKind kind) {
    const RequestCodes& row = kRequestCodes[static_cast<int>(request)];
    switch (kind) {
        case AccessDriverKind::Qlix: return row.qlix;
        case AccessDriverKind::Kmdf: return row.kmdf;
        case AccessDriverKind::Addmem: return row.addmem;
        case AccessDriverKind::Memio: return row.memio;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Record helpers

uint32_t AllOnes(int width) { return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }

void StoreValue(uint8_t* p, uint32_t value, int width) {
    for (int i = 0; i < width; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t LoadValue(const uint8_t* p, int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) value |= static_cast<uint32_t>(p[i]) << (8 * i);
    return value;
}

// The address of p as the drivers' 32-bit pointer fields hold it. The program is a 32-bit
// process, so on Windows this is the whole address.
uint32_t PointerField(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

constexpr uint32_t kKmdfHeaderSize = 16;
constexpr uint32_t kQlixHeader32 = 9;
constexpr uint32_t kQlixHeader64 = 17;
constexpr uint8_t kQlixWrite = 0;
constexpr uint8_t kQlixRead = 1;
constexpr uint32_t kMemioRecordSize = 16;
constexpr int kMemioWidthField = 4;

// The Qlix record's header in the layout of the running Windows: address and length have the
// width of its pointers. Returns the header size.
uint32_t BuildQlixHeader(uint8_t* record, uint64_t address, uint8_t direction, uint32_t length) {
    if (ctx.isWow64) {
        StoreU64(record, address);
        record[8] = direction;
        StoreU64(record + 9, length);
        return kQlixHeader64;
    }
    StoreU32(record, static_cast<uint32_t>(address));
    record[4] = direction;
    StoreU32(record + 5, length);
    return kQlixHeader32;
}

// Sends a port request, again at once while the open device rejects it, up to
// kPortRequestAttempts sends.
bool SendPortRequest(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize) {
    for (int attempt = 0; attempt < kPortRequestAttempts; ++attempt) {
        uint32_t returned = 0;
        if (os::DeviceIoControl(driverHandle, code, in, inSize, out, outSize, &returned)) return true;
    }
    return false;
}

// One port access of 1, 2 or 4 bytes. Reads return the value, all ones of the width when no
// answer came; writes return 0.
uint32_t PortRequest(Request request, uint16_t port, int width, uint32_t value) {
    const bool write = request == Request::WriteByte || request == Request::WriteWord ||
                       request == Request::WriteDword;
    const AccessDriverKind kind = CurrentAccessDriverKind();
    const uint32_t code = CodeFor(request, kind);
    const uint32_t size = static_cast<uint32_t>(width);

    switch (kind) {
        case AccessDriverKind::Qlix: {
            uint8_t record[kQlixHeader64 + 4] = {};
            const uint32_t header = BuildQlixHeader(record, port, write ? kQlixWrite : kQlixRead, size);
            if (write) StoreValue(record + header, value, width);
            uint8_t out[4] = {};  // the value read, or scratch for a write
            const bool ok = SendPortRequest(code, record, header + (write ? size : 0), out, size);
            if (write) return 0;
            return ok ? LoadValue(out, width) : AllOnes(width);
        }
        case AccessDriverKind::Kmdf: {
            if (!OpenKmdfDevice()) return write ? 0 : AllOnes(width);
            uint8_t record[kKmdfHeaderSize + 4] = {};
            const uint32_t recordSize = kKmdfHeaderSize + size;
            StoreU32(record + 0, port);
            StoreU32(record + 8, size);
            StoreU32(record + 12, PointerField(record + kKmdfHeaderSize));
            if (write) StoreValue(record + kKmdfHeaderSize, value, width);
            uint32_t returned = 0;
            const bool ok = os::DeviceIoControl(driverHandle, code, record, recordSize, record, recordSize, &returned);
            os::CloseHandle(driverHandle);
            if (write) return 0;
            const uint8_t* data = ok ? KmdfReturnedData(record, recordSize, size) : nullptr;
            return data != nullptr ? LoadValue(data, width) : AllOnes(width);
        }
        case AccessDriverKind::Addmem: {
            uint8_t in[8] = {};
            StoreU32(in, port);
            if (write) StoreValue(in + 4, value, width);
            uint8_t out[4] = {};  // the value read, or scratch for a write
            const bool ok = SendPortRequest(code, in, sizeof in, out, size);
            if (write) return 0;
            return ok ? LoadValue(out, width) : AllOnes(width);
        }
        case AccessDriverKind::Memio: {
            // The VxD reads the value to write from, or stores the value read into, the variable
            // the record points to. The width at offset 4 makes a word or dword request one
            // access of that width: without it the VxD moves one byte, and a dword written to
            // the PCI address port would be a byte write to 0xCF8.
            uint32_t variable = write ? value : 0;
            uint8_t record[kMemioRecordSize] = {};
            StoreU32(record + 0, port);
            StoreU32(record + kMemioWidthField, size);
            StoreU32(record + 12, PointerField(&variable));
            const bool ok = SendPortRequest(code, record, sizeof record, record, sizeof record);
            if (write) return 0;
            return ok ? (variable & AllOnes(width)) : AllOnes(width);
        }
    }
    return write ? 0 : AllOnes(width);
}

// A zeroed heap block for one memory request; nullptr when there is no memory for it.
uint8_t* AllocateRecord(uint32_t size) {
    return new (std::nothrow) uint8_t[size]();
}

}  // namespace

const uint8_t* KmdfReturnedData(const uint8_t* record, uint32_t recordSize, uint32_t length) {
    const uint32_t offset = LoadU32(record + 12) - PointerField(record);  // modulo 2^32
    if (length > recordSize || offset > recordSize - length) return nullptr;
    return record + offset;
}

uint8_t ReadPortByte(uint16_t port) { return static_cast<uint8_t>(PortRequest(Request::ReadByte, port, 1, 0)); }
void WritePortByte(uint16_t port, uint8_t value) { PortRequest(Request::WriteByte, port, 1, value); }
uint16_t ReadPortWord(uint16_t port) { return static_cast<uint16_t>(PortRequest(Request::ReadWord, port, 2, 0)); }
void WritePortWord(uint16_t port, uint16_t value) { PortRequest(Request::WriteWord, port, 2, value); }
uint32_t ReadPortDword(uint16_t port) { return PortRequest(Request::ReadDword, port, 4, 0); }
void WritePortDword(uint16_t port, uint32_t value) { PortRequest(Request::WriteDword, port, 4, value); }

// Memory requests are sent once: a device that refuses one will not accept it a moment later,
// and callers that wait for a value in memory poll it themselves.
void ReadPhysicalMemory(uint64_t address, uint32_t length, void* destination) {
    if (length == 0 || length > kMaxMemoryBlock) return;
    const AccessDriverKind kind = CurrentAccessDriverKind();
    const uint32_t code = CodeFor(Request::ReadMemory, kind);
    auto* out = static_cast<uint8_t*>(destination);
    uint32_t returned = 0;
    bool ok = false;

    switch (kind) {
        case AccessDriverKind::Qlix: {
            uint8_t record[kQlixHeader64] = {};
            const uint32_t header = BuildQlixHeader(record, address, kQlixRead, length);
            ok = os::DeviceIoControl(driverHandle, code, record, header, out, length, &returned);
            break;
        }
        case AccessDriverKind::Kmdf: {
            const uint32_t recordSize = kKmdfHeaderSize + length;
            uint8_t* record = AllocateRecord(recordSize);
            if (record == nullptr) return;
            if (!OpenKmdfDevice()) {
                delete[] record;
                return;  // nothing was asked: the destination keeps what it held
            }
            StoreU32(record + 4, static_cast<uint32_t>(address));
            StoreU32(record + 8, length);
            StoreU32(record + 12, PointerField(record + kKmdfHeaderSize));
            ok = os::DeviceIoControl(driverHandle, code, record, recordSize, record, recordSize, &returned);
            os::CloseHandle(driverHandle);
            const uint8_t* data = ok ? KmdfReturnedData(record, recordSize, length) : nullptr;
            if (data != nullptr) std::memcpy(out, data, length);
            ok = data != nullptr;
            delete[] record;
            break;
        }
        case AccessDriverKind::Addmem:
        case AccessDriverKind::Memio: {
            uint8_t in[8];
            StoreU64(in, address);
            ok = os::DeviceIoControl(driverHandle, code, in, sizeof in, out, length, &returned);
            break;
        }
    }
    // A refused read leaves no trace of what memory holds; all ones, as an empty bus reads, keeps
    // stale bytes of the caller's buffer from passing for memory contents.
    if (!ok) std::memset(out, 0xFF, length);
}

void WritePhysicalMemory(uint64_t address, uint32_t length, const void* source) {
    if (length == 0 || length > kMaxMemoryBlock) return;
    const AccessDriverKind kind = CurrentAccessDriverKind();
    const uint32_t code = CodeFor(Request::WriteMemory, kind);
    const auto* block = static_cast<const uint8_t*>(source);
    uint32_t returned = 0;

    switch (kind) {
        case AccessDriverKind::Qlix: {
            // The device is given an output buffer of the block's size; a scratch copy takes
            // whatever it puts there, so the caller's block stays as it was.
            uint8_t* record = AllocateRecord(kQlixHeader64 + 2 * length);
            if (record == nullptr) return;
            const uint32_t header = BuildQlixHeader(record, address, kQlixWrite, length);
            std::memcpy(record + header, block, length);
            os::DeviceIoControl(driverHandle, code, record, header + length, record + header + length, length,
                                &returned);
            delete[] record;
            return;
        }
        case AccessDriverKind::Kmdf: {
            // After a failed open the write is skipped without another round of attempts: the
            // device did not answer a moment ago.
            if (driverHandle == os::InvalidHandle()) return;
            const uint32_t recordSize = kKmdfHeaderSize + length;
            uint8_t* record = AllocateRecord(recordSize);
            if (record == nullptr) return;
            if (OpenKmdfDevice()) {
                StoreU32(record + 4, static_cast<uint32_t>(address));
                StoreU32(record + 8, length);
                StoreU32(record + 12, PointerField(record + kKmdfHeaderSize));
                std::memcpy(record + kKmdfHeaderSize, block, length);
                os::DeviceIoControl(driverHandle, code, record, recordSize, record, recordSize, &returned);
                os::CloseHandle(driverHandle);
            }
            delete[] record;
            return;
        }
        case AccessDriverKind::Addmem:
        case AccessDriverKind::Memio: {
            uint8_t* record = AllocateRecord(8 + 2 * length);
            if (record == nullptr) return;
            StoreU64(record, address);
            std::memcpy(record + 8, block, length);
            os::DeviceIoControl(driverHandle, code, record, 8 + length, record + 8 + length, length, &returned);
            delete[] record;
            return;
        }
    }
}

void WriteKbcCommand(uint8_t command) { WritePortByte(kKbcCommandPort, command); }
void WriteKbcData(uint8_t value) { WritePortByte(kKbcDataPort, value); }
uint8_t ReadKbcStatus() { return ReadPortByte(kKbcCommandPort); }

bool WaitKbcInputEmpty(uint8_t* lastStatus) {
    uint8_t status = 0xFF;
    const bool empty = PollUntil(kKbcPollBound, [&status] {
        status = ReadKbcStatus();
        return (status & kKbcInputFull) == 0;
    });
    if (lastStatus != nullptr) *lastStatus = status;
    return empty;
}

bool TryReadKbcData(uint8_t* value) {
    if (!PollUntil(kKbcPollBound, [] { return (ReadKbcStatus() & kKbcOutputFull) != 0; })) {
        *value = 0xFF;
        return false;
    }
    *value = ReadPortByte(kKbcDataPort);
    return true;
}

uint8_t ReadKbcData() {
    uint8_t value = 0xFF;
    TryReadKbcData(&value);
    return value;
}
