#include "bios/platform.h"

#include <cstring>

#include "app/context.h"
#include "app/messages.h"
#include "app/run_options.h"
#include "app/variant.h"
#include "base/text.h"
#include "hw/driver.h"
#include "hw/firmware.h"
#include "hw/ports.h"
#include "os/os.h"

namespace {

// Identification blocks in the BIOS area.
constexpr const char* kAmiVersionMarker = "AMIBIOS Version";
constexpr uint32_t kAmiVersionStep = 16;
constexpr const char* kPartNumberMarker = "DEVEL";
constexpr uint32_t kPartNumberBlockSize = 10;
constexpr int kPartNumberOffset = 5;
constexpr int kPartNumberLength = 3;
constexpr const char* kIdentityMarker = "DiaG@";
constexpr uint32_t kIdentityBlockSize = 40;
constexpr int kLongModelOffset = 11;   // first character of the 5-character model form
constexpr int kModelOffset = 12;
constexpr int kVersionOffset = 25;
constexpr int kShortIdLength = 4;
constexpr int kLongIdLength = 5;

// DMI structure types and the strings taken from them.
constexpr uint8_t kDmiBiosInformation = 0;
constexpr int kBiosVersionString = 2;
constexpr int kBiosDateString = 3;
constexpr uint8_t kDmiSystemInformation = 1;
constexpr int kSerialNumberString = 4;
constexpr uint8_t kDmiOemStrings = 11;

// A DMI string is read as one block of this size, so strings of up to 31 characters are kept.
constexpr uint32_t kDmiStringBlock = 32;
// Blocks read while stepping over one string that is longer than a block. A string set that
// runs on further than this is not a DMI string set: the string counts as missing.
constexpr int kDmiStringMaxBlocks = 8;

// The platform's model call through the software SMI interface.
constexpr uint16_t kSmiModelFunction = 4;
constexpr uint8_t kNoAnswer = 0xFF;

// The ROM read-out: the top megabyte of the 4 GiB address space, where the BIOS flash lies.
constexpr uint64_t kRomWindowAddress = 0xFFF00000u;
constexpr uint32_t kRomReadSize = 4096;
constexpr int kRomReads = 256;

int IdLength() { return HasOption(LongModelId) ? kLongIdLength : kShortIdLength; }

void Log(const char* line) {
    if constexpr (!kPhxVariant) LogLine("%s", line);
}

uint64_t FindInBiosArea(const char* marker, uint32_t step) {
    return SearchPhysicalMemory(kBiosAreaAddress, kBiosAreaSize, marker, step);
}

// Reads size bytes of the block at the marker's first occurrence (step 1). A missing block reads
// as zeros, which every field taken from it turns into an empty text.
void ReadBlock(const char* marker, uint32_t size, uint8_t* block) {
    std::memset(block, 0, size);
    const uint64_t address = FindInBiosArea(marker, 1);
    if (address != 0) ReadPhysicalMemory(address, size, block);
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

// Copies DMI string `number` of the structure at `structure` into out: read as one 32-byte block
// and kept to 31 characters. Empty when the structure or the string does not exist.
void ReadDmiString(uint64_t structure, int number, char* out, size_t size) {
    out[0] = '\0';
    const uint64_t address = FindDmiString(structure, number);
    if (address == 0) return;
    char block[kDmiStringBlock];
    std::memset(block, 0, sizeof block);
    ReadPhysicalMemory(address, sizeof block, block);
    CopyTextN(out, size, block, kDmiStringBlock - 1);
}

// A decimal number of up to `digits` characters at text; non-digits end it (0 when none).
int ParseDigits(const char* text, int digits) {
    int value = 0;
    for (int i = 0; i < digits && text[i] >= '0' && text[i] <= '9'; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// The release date "MM/DD/YYYY" of the BIOS information structure.
void ParseBiosDate(const char* date, BiosDate* out) {
    const size_t length = std::strlen(date);
    *out = BiosDate();
    if (length >= 2) out->month = static_cast<uint8_t>(ParseDigits(date, 2));
    if (length >= 5) out->day = static_cast<uint8_t>(ParseDigits(date + 3, 2));
    if (length >= 10) out->year = static_cast<uint16_t>(ParseDigits(date + 6, 4));
}

// Asks the BIOS for the platform's model (SMI function 4). True with the answer's text (at most
// 16 bytes, terminated in answer[16]) when the interface exists and answered.
bool AskModelThroughSmi(char (&answer)[kSwSmiDataSize + 1]) {
    std::memset(answer, 0, sizeof answer);
    Log("Get Vantrel Interface");
    const bool present = FindSwSmiRecord() != 0;
    Log("Success Vantrel Interface");
    if (!present) return false;

    Log("Execute Vantrel");
    uint8_t data[kSwSmiDataSize] = {};
    // A request the BIOS never completed counts as no answer.
    if (CallSwSmi(kSmiModelFunction, data, 0) == 0) return false;
    Log("Success Execution Vantrel");
    std::memcpy(answer, data, kSwSmiDataSize);
    return true;
}

}  // namespace

#if !ROMSHELL_PHX
int DetectAmiBios() {
    if (!OpenAccessDriver()) return 0;
    ctx.isPhoenixBios = 1;
    if (FindInBiosArea(kAmiVersionMarker, kAmiVersionStep) != 0) ctx.isPhoenixBios = 0;
    CloseAccessDriver();
    return 1;
}
#endif

ResultCode IdentifyPlatform() {
    if (!OpenAccessDriver()) return kResultDriverLoad;

    // BIOS information: the version (replaced below by the identification block's) and the date.
    const uint64_t bios = SearchDMIBlock(kDmiBiosInformation);
    ReadDmiString(bios, kBiosVersionString, ctx.currentVersion, sizeof ctx.currentVersion);
    char date[kDmiStringBlock];
    ReadDmiString(bios, kBiosDateString, date, sizeof date);
    ParseBiosDate(date, &ctx.currentBiosDate);

    ReadDmiString(SearchDMIBlock(kDmiSystemInformation), kSerialNumberString, ctx.systemSerial,
                  sizeof ctx.systemSerial);

    Log("Read memory 00");
    const uint64_t oem = SearchDMIBlock(kDmiOemStrings);
    Log("Read memory 01");
    ReadDmiString(oem, 1, ctx.oemString1, sizeof ctx.oemString1);
    Log("Read memory 02");
    ReadDmiString(oem, 2, ctx.oemString2, sizeof ctx.oemString2);

    Log("Read memory 03");
    uint8_t devel[kPartNumberBlockSize];
    const uint64_t develAddress = FindInBiosArea(kPartNumberMarker, 1);
    Log("Read memory 04");
    std::memset(devel, 0, sizeof devel);
    if (develAddress != 0) ReadPhysicalMemory(develAddress, sizeof devel, devel);
    CopyTextN(ctx.currentPartNumber, sizeof ctx.currentPartNumber,
              reinterpret_cast<const char*>(devel + kPartNumberOffset), kPartNumberLength);

    const int idLength = IdLength();
    char answer[kSwSmiDataSize + 1];
    bool answered = AskModelThroughSmi(answer);

    // The identification block; its text fields stop at the block's end.
    uint8_t identity[kIdentityBlockSize + 1];
    ReadBlock(kIdentityMarker, kIdentityBlockSize, identity);
    identity[kIdentityBlockSize] = 0;
    const char* idText = reinterpret_cast<const char*>(identity);

    char model[kIdentityBlockSize + kShortIdLength + 1] = {};
    if (answered) {
        if (HasOption(LongModelId)) {
            // The model's first characters come from the block, the rest from the answer.
            CopyText(model, sizeof model, idText + kLongModelOffset);
            char tail[kShortIdLength + 1];
            CopyTextN(tail, sizeof tail, answer, kShortIdLength);
            AppendText(model, sizeof model, tail);
        } else if (static_cast<uint8_t>(answer[0]) == kNoAnswer) {
            answered = false;
        } else {
            CopyTextN(model, sizeof model, answer, kShortIdLength);
        }
    }
    if (!answered) {
        if (HasOption(LongModelId)) {
            CopyTextN(model, sizeof model, idText + kLongModelOffset, kLongIdLength);
        } else {
            CopyTextN(model, sizeof model, idText + kModelOffset, kShortIdLength);
        }
    }
    CopyTextN(ctx.currentModel, sizeof ctx.currentModel, model, static_cast<size_t>(idLength));
    CopyTextN(ctx.currentVersion, sizeof ctx.currentVersion, idText + kVersionOffset,
              static_cast<size_t>(idLength));

    CloseAccessDriver();
    return kResultOk;
}

void ReadRomImage(const char* fileName) {
    if (!OpenAccessDriver()) return;
    // An existing file is written over from its start, not cut.
    os::Handle file = os::CreateFile(fileName, os::kGenericRead | os::kGenericWrite, os::kShareRead,
                                     os::kOpenAlways, os::kFileAttributeNormal);
    if (os::IsValid(file)) {
        uint8_t buffer[kRomReadSize];
        for (int i = 0; i < kRomReads; ++i) {
            // A read the driver does not answer leaves the empty-bus value in the file.
            std::memset(buffer, 0xFF, sizeof buffer);
            ReadPhysicalMemory(kRomWindowAddress + static_cast<uint64_t>(i) * kRomReadSize, kRomReadSize,
                               buffer);
            uint32_t written = 0;
            if (!os::WriteFile(file, buffer, kRomReadSize, &written) || written != kRomReadSize) break;
        }
        os::CloseHandle(file);
    }
    CloseAccessDriver();
}
