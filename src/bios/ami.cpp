#include "bios/ami.h"

#include <cstring>

#include "base/text.h"
#include "bios/ami_image.h"
#include "bios/identity.h"
#include "core/context.h"
#include "core/messages.h"
#include "hw/driver.h"
#include "hw/firmware.h"
#include "hw/ports.h"
#include "os/os.h"

namespace {

constexpr const char* kAmiImage = "bios.rom";
constexpr uint64_t kBiosAreaEnd = kBiosAreaAddress + kBiosAreaSize;

// The address of marker's first occurrence in the BIOS area, when the `blockEnd` bytes from it
// lie in the area too; 0 otherwise. A block that the area's end cuts off is no block: its fields
// would lie beyond the firmware the marker belongs to.
uint64_t FindWholeBlock(const char* marker, size_t blockEnd) {
    const uint64_t address = SearchPhysicalMemory(kBiosAreaAddress, kBiosAreaSize, marker, 1);
    if (address == 0 || address + blockEnd > kBiosAreaEnd) return 0;
    return address;
}

}  // namespace

int32_t ReadAmiBiosVersion() {
    if (!OpenAccessDriver()) return kAmiDriverFailed;
    int32_t version = kAmiAbsent;
    const uint64_t block = FindWholeBlock(kAmiBlockMarker, kAmiBlockEnd);
    if (block != 0) {
        uint8_t digits[kAmiBlockVersionLength] = {};
        ReadPhysicalMemory(block + kAmiBlockVersionOffset, sizeof digits, digits);
        version = ParseDecimalVersion(digits, sizeof digits);
    }
    CloseAccessDriver();
    return version;
}

int32_t ReadPlatformPartNumber(char* partNumber) {
    if (!OpenAccessDriver()) return kAmiDriverFailed;
    int32_t result = kAmiAbsent;
    const uint64_t block = FindWholeBlock(kPartNumberMarker, kPartNumberBlockEnd);
    if (block != 0) {
        char part[kPartNumberLength + 1] = {};
        ReadPhysicalMemory(block + kPartNumberOffset, kPartNumberLength, part);
        std::memcpy(partNumber, part, sizeof part);
        result = 0;
    }
    CloseAccessDriver();
    return result;
}

int32_t ReadAmiImageVersion(const char* fileName) {
    os::MappedFile view;
    if (!os::MapFileReadOnly(fileName, &view)) return kAmiAbsent;
    int32_t version = 0;
    const uint64_t record = FindFidRecord(view.data, view.size);
    if (record != kNoFidRecord) version = ParseDecimalVersion(view.data + record + kFidVersionOffset, kFidVersionLength);
    os::UnmapFile(&view);
    return version;
}

int32_t ReadAmiImagePartNumber(const char* fileName, char* partNumber) {
    os::MappedFile view;
    if (!os::MapFileReadOnly(fileName, &view)) return kAmiAbsent;
    const uint64_t record = FindFidRecord(view.data, view.size);
    if (record != kNoFidRecord) {
        std::memcpy(partNumber, view.data + record + kFidPartNumberOffset, kFidPartNumberLength);
        partNumber[kFidPartNumberLength] = '\0';
    }
    os::UnmapFile(&view);
    return 0;
}

ResultCode CheckAmiPartNumber() {
    char running[kPartNumberLength + 1] = {};
    // Any failure to read the running part number, the driver's included, is the driver's.
    if (ReadPlatformPartNumber(running) != 0) return kResultDriverLoad;
    char image[kFidPartNumberLength + 1] = {};
    if (ReadAmiImagePartNumber(kAmiImage, image) != 0) return kAmiImageUnreadable;
    LogLine("Bios part number : running %s, new %s", running, image);
    if (std::strcmp(running, image) == 0) return kResultOk;
    CopyText(ctx.currentPartNumber, running);
    CopyText(ctx.newPartNumber, image);
    return kResultPartNumberMismatch;
}
