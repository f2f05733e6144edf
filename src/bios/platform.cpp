#include "bios/platform.h"

#include <cstring>

#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "core/variant.h"
#include "base/text.h"
#include "bios/identity.h"
#include "dmi/dmi_read.h"
#include "hw/driver.h"
#include "hw/firmware.h"
#include "hw/ports.h"
#include "os/os.h"

namespace {

#if !ROMSHELL_PHX
// The marker of an AMI BIOS in the BIOS area.
constexpr const char* kAmiVersionMarker = "AMIBIOS Version";
constexpr uint32_t kAmiVersionStep = 16;
#endif

// The platform's model call through the software SMI interface.
constexpr uint16_t kSmiModelFunction = 4;
constexpr uint8_t kNoAnswer = 0xFF;

// The ROM read-out: the top megabyte of the 4 GiB address space, where the BIOS flash lies.
constexpr uint64_t kRomWindowAddress = 0xFFF00000u;
constexpr uint32_t kRomReadSize = 4096;
constexpr int kRomReads = 256;

int IdLength() { return HasOption(LongModelId) ? kLongIdLength : kShortIdLength; }

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
    LogStep("Get Vantrel Interface");
    const bool present = FindSwSmiRecord() != 0;
    LogStep("Success Vantrel Interface");
    if (!present) return false;

    LogStep("Execute Vantrel");
    uint8_t data[kSwSmiDataSize] = {};
    // A request the BIOS never completed counts as no answer.
    if (CallSwSmi(kSmiModelFunction, data, 0) == 0) return false;
    LogStep("Success Execution Vantrel");
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

    LogStep("Read memory 00");
    const uint64_t oem = SearchDMIBlock(kDmiOemStrings);
    LogStep("Read memory 01");
    ReadDmiString(oem, 1, ctx.oemString1, sizeof ctx.oemString1);
    LogStep("Read memory 02");
    ReadDmiString(oem, 2, ctx.oemString2, sizeof ctx.oemString2);

    LogStep("Read memory 03");
    uint8_t devel[kPartNumberBlockSize];
    const uint64_t develAddress = FindInBiosArea(kPartNumberMarker, 1);
    LogStep("Read memory 04");
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
