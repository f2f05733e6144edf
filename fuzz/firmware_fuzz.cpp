// libFuzzer target: arbitrary bytes as the legacy BIOS segment (physical 0xF0000) of an emulated
// notebook, searched and walked as the platform identification does it.
//
// Byte 0 chooses the run: bit 0 sets LongModelId, and the whole byte is one more DMI type to look
// for. The bytes after it are the segment; the rest of its 64 KiB reads 0xFF, so the BIOS's own
// blocks are gone. DMI tables may point anywhere, into RAM and the empty areas too.
//
// Besides the sanitizers' findings, the target fails when a search finds what the segment does
// not hold or misses what it holds, when a DMI walk leaves the table its entry point sizes, takes
// more requests than the table has bytes to justify, or returns a structure of another type, and
// when a text field the identification fills is not terminated within its buffer.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/context.h"
#include "core/run_options.h"
#include "core/winver.h"
#include "bios/platform.h"
#include "emu/hardware.h"
#include "fuzz/fuzz_world.h"
#include "dmi/dmi_read.h"
#include "hw/driver.h"
#include "hw/firmware.h"
#include "os/os.h"

namespace {

constexpr const char* kTarget = "firmware_fuzz";
constexpr uint64_t kSegment = 0xF0000;
constexpr size_t kSegmentSize = 0x10000;
// The SMI request buffer in RAM, cleared before each input so that each meets the same memory.
constexpr uint64_t kSmiBuffer = 0x9F100;
constexpr size_t kSmiBufferSize = 21;

// The notebook's SMI interface (emu/machines/win98.json keeps the defaults): its handler answers
// only a request raised at its own port with its own commands in its own buffer.
constexpr uint8_t kSmiPort = 0xB2, kSmiFirst = 0x8E, kSmiSecond = 0x8F, kSmiThird = 0x90;
constexpr uint16_t kSmiBufferSegment = 0x9F00, kSmiBufferOffset = 0x0100;

// The first offset at which text stands in the segment among 0, step, 2 x step, ... below
// limit; -1 when none.
long FindInSegment(const std::vector<uint8_t>& segment, const char* text, size_t step, size_t limit) {
    const std::string_view bytes(reinterpret_cast<const char*>(segment.data()), segment.size());
    for (size_t k = bytes.find(text); k != std::string_view::npos && k < limit; k = bytes.find(text, k + 1))
        if (k % step == 0) return static_cast<long>(k);
    return -1;
}

template <size_t N>
void ExpectTerminated(const char (&field)[N], const char* name) {
    if (strnlen(field, N) == N) fuzz::Fail(kTarget, std::string(name) + " is not terminated within its buffer");
}

uint8_t MemoryByte(uint64_t address) {
    uint8_t b = 0xFF;
    emu::ReadPhysical(address, &b, 1);
    return b;
}

// One SearchDMIBlock, judged against the entry point the segment holds.
void CheckDmiSearch(const std::vector<uint8_t>& segment, uint8_t type) {
    emu::DiscardHardwareRecord();
    const uint64_t found = SearchDMIBlock(type);
    const size_t requests = emu::DeviceRequests().size();
    const long entry = FindInSegment(segment, "_DMI_", 16, kSegmentSize - 5);
    if (entry < 0) {
        if (found != 0) fuzz::Fail(kTarget, "a DMI structure without an entry point");
        return;
    }
    const uint64_t e = kSegment + static_cast<uint64_t>(entry);
    uint64_t table = 0;
    for (int i = 0; i < 4; ++i) table |= static_cast<uint64_t>(MemoryByte(e + 8 + i)) << (8 * i);
    const uint64_t length = MemoryByte(e + 6) | (MemoryByte(e + 7) << 8);
    if (found != 0) {
        if (found < table || found >= table + length) fuzz::Fail(kTarget, "a DMI structure outside its table");
        if (MemoryByte(found) != type) fuzz::Fail(kTarget, "a DMI structure of another type");
    }
    // The entry point search, its two fields, then at most two one-byte reads per structure and
    // one two-byte read per byte of the table.
    if (requests > 3 + 3 * (length + 1)) fuzz::Fail(kTarget, "the DMI walk took " + std::to_string(requests) + " requests");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!fuzz::MakeWorld(kTarget, "win98")) std::abort();
    ResetUpdateContext();
    ProbeWindowsVersion();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> segment(kSegmentSize, 0xFF);
    std::memcpy(segment.data(), data + 1, size - 1 < kSegmentSize ? size - 1 : kSegmentSize);

    // A record naming another port, commands or buffer would make every such input wait out
    // the SMI poll bound; its gate byte, which decides whether it is used, stays the input's.
    const long smi = FindInSegment(segment, "SwSmi@", 1, kSegmentSize - 6);
    if (smi >= 0 && smi + 16 <= static_cast<long>(kSegmentSize)) {
        uint8_t* r = segment.data() + smi;
        r[6] = kSmiPort;
        r[7] = 0;
        r[8] = kSmiSecond;
        r[9] = kSmiFirst;
        r[10] = kSmiThird;
        r[11] = static_cast<uint8_t>(kSmiBufferOffset);
        r[12] = static_cast<uint8_t>(kSmiBufferOffset >> 8);
        r[13] = static_cast<uint8_t>(kSmiBufferSegment);
        r[14] = static_cast<uint8_t>(kSmiBufferSegment >> 8);
    }
    emu::SetMemoryOverlay(kSegment, segment);
    const uint8_t zeros[kSmiBufferSize] = {};
    emu::WritePhysical(kSmiBuffer, zeros, sizeof zeros);

    ResetUpdateContext();
    ProbeWindowsVersion();
    driverHandle = os::InvalidHandle();
    ctx.runOptions = (data[0] & 1) != 0 ? LongModelId : 0;

    if (IdentifyPlatform() != kResultOk) fuzz::Fail(kTarget, "the identification failed with the driver at hand");
    ExpectTerminated(ctx.currentModel, "currentModel");
    ExpectTerminated(ctx.currentVersion, "currentVersion");
    ExpectTerminated(ctx.currentPartNumber, "currentPartNumber");
    ExpectTerminated(ctx.systemSerial, "systemSerial");
    ExpectTerminated(ctx.oemString1, "oemString1");
    ExpectTerminated(ctx.oemString2, "oemString2");

    if (!DetectAmiBios()) fuzz::Fail(kTarget, "DetectAmiBios found no driver");
    const bool ami = FindInSegment(segment, "AMIBIOS Version", 16, kSegmentSize - 15) >= 0;
    if ((ctx.isPhoenixBios == 0) != ami) fuzz::Fail(kTarget, ami ? "a marker on the grid was missed" : "a marker that is not there was found");

    if (!OpenAccessDriver()) fuzz::Fail(kTarget, "the access driver did not open");
    const int gated = FindSwSmiRecord();
    if (smi < 0) {
        if (gated) fuzz::Fail(kTarget, "an SMI record that is not there");
    } else {
        uint8_t expected[kSwSmiRecordSize] = {};
        const size_t available = kSegmentSize - static_cast<size_t>(smi);
        std::memcpy(expected, segment.data() + smi, available < sizeof expected ? available : sizeof expected);
        if (std::memcmp(expected, swSmiRecord, sizeof expected) != 0) fuzz::Fail(kTarget, "the SMI record kept differs from memory");
        if (gated != (expected[15] >= kSwSmiMinimumGate ? 1 : 0)) fuzz::Fail(kTarget, "the SMI gate byte was misread");
    }
    // The identification walked for types 0, 1 and 11; these walks are judged: the end-of-table
    // type, which a sound table always holds, and the input's own choice.
    for (uint8_t type : {uint8_t{127}, data[0]}) CheckDmiSearch(segment, type);
    CloseAccessDriver();
    emu::DiscardHardwareRecord();
    os::DeleteFile("DebugLog.txt");  // the searches log their lines; a fuzzing run makes millions
    return 0;
}
