#include "bios/image.h"

#include <cstring>

#include "core/context.h"
#include "core/messages.h"
#include "core/run_options.h"
#include "base/bytes.h"
#include "base/text.h"
#include "bios/identity.h"
#include "os/os.h"

namespace {

constexpr const char* kBiosImage = "bios.wph";
constexpr const char* kMicomImage = "kbc.bin";

// ---------------------------------------------------------------------------------------------
// Choosing the images

// Characters 3 and 4 of a name: where image names carry the platform key.
constexpr int kKeyOffset = 2;
constexpr int kKeyLength = 2;

// True when text has its characters 3 and 4 and they equal key's without regard to ASCII case.
// A name or version too short to carry a key matches nothing.
bool KeyMatches(const char* text, const char* key) {
    if (BoundedLength(text, kKeyOffset + kKeyLength) < kKeyOffset + kKeyLength) return false;
    if (BoundedLength(key, kKeyOffset + kKeyLength) < kKeyOffset + kKeyLength) return false;
    return CompareIgnoreCaseN(text + kKeyOffset, key + kKeyOffset, kKeyLength) == 0;
}

// Walks a candidate list and copies the chosen name to target: the only candidate when count is
// exactly 1, else the first whose key matches (logged with logFormat). False when the walk came
// to an empty slot (or the end of the list) without a choice.
bool ChooseCandidate(const char (&list)[kFileListSlots][kTextSize], uint8_t count, const char* logFormat,
                     const char* target) {
    for (int slot = 0; slot < kFileListSlots; ++slot) {
        const char* name = list[slot];
        if (name[0] == '\0') return false;
        if (count == 1) {
            os::CopyFile(name, target);
            return true;
        }
        if (KeyMatches(name, ctx.currentVersion)) {
            LogLine(logFormat, name);
            os::CopyFile(name, target);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// The flash block table of a .wph image

constexpr const char* kTrailerHeaderMarker = "ZFLPF";
constexpr const char* kTrailerTableMarker = "ZQDS";
constexpr size_t kHeaderMarkerLength = 5;
constexpr size_t kTableMarkerLength = 4;
constexpr uint32_t kTrailerHeaderSize = 61;
constexpr int kTableOffsetField = 53;

// Images of at least a megabyte carry their trailer behind the first megabyte; smaller ones
// behind the first half megabyte.
constexpr uint64_t kLargeImage = 0x100000;
constexpr uint64_t kSmallImageTrailer = 0x80000;
// The ESCD block: record 8 of a 2 MiB part's table, record 0 of a part below 1 MiB.
constexpr int kEscdIndexLarge = 8;
constexpr int kEscdIndexSmall = 0;

// FlashBlockRecord.
constexpr uint32_t kRecordSize = 16;
constexpr int kRecordLength = 0;
constexpr int kRecordImageOffset = 4;
constexpr int kRecordFlashAddress = 8;
constexpr int kRecordAttributes = 14;
constexpr uint16_t kWriteBlock = 0x22;
constexpr uint16_t kSkipBlock = 0;
constexpr uint32_t kBlockBoundaryMask = 0xFFFF;
// Records are counted with an 8-bit index: at most 255 blocks, then the end record.
constexpr int kMaxRecords = 256;

// The part of the file searched at once; neighbouring pieces overlap by a marker's length so the
// result equals a byte-by-byte scan.
constexpr uint32_t kSearchPiece = 0x10000;

bool ReadAt(os::Handle file, uint64_t offset, void* buffer, uint32_t size) {
    uint32_t read = 0;
    return os::SeekFile(file, static_cast<int64_t>(offset), os::SeekFrom::Begin) &&
           os::ReadFile(file, buffer, size, &read) && read == size;
}

bool WriteAt(os::Handle file, uint64_t offset, const void* buffer, uint32_t size) {
    uint32_t written = 0;
    return os::SeekFile(file, static_cast<int64_t>(offset), os::SeekFrom::Begin) &&
           os::WriteFile(file, buffer, size, &written) && written == size;
}

// Looks for both trailer markers from start on, at every position below size - 5, and stops as
// soon as both have been seen; each position is then the marker's latest occurrence. False when
// the end came first.
bool FindTrailerMarkers(os::Handle file, uint64_t start, uint64_t size, uint64_t* header, uint64_t* table) {
    if (size < kHeaderMarkerLength || start >= size - kHeaderMarkerLength) return false;
    const uint64_t limit = size - kHeaderMarkerLength;  // positions below this are tried
    bool haveHeader = false;
    bool haveTable = false;
    static uint8_t piece[kSearchPiece + kHeaderMarkerLength];
    for (uint64_t base = start; base < limit; base += kSearchPiece) {
        uint64_t end = base + kSearchPiece + kHeaderMarkerLength;  // bytes needed by this piece
        if (end > size) end = size;
        if (!ReadAt(file, base, piece, static_cast<uint32_t>(end - base))) return false;
        const uint64_t last = base + kSearchPiece < limit ? base + kSearchPiece : limit;
        for (uint64_t position = base; position < last; ++position) {
            const uint8_t* p = piece + (position - base);
            if (std::memcmp(p, kTrailerHeaderMarker, kHeaderMarkerLength) == 0) {
                *header = position;
                haveHeader = true;
            }
            if (std::memcmp(p, kTrailerTableMarker, kTableMarkerLength) == 0) {
                *table = position;
                haveTable = true;
            }
            if (haveHeader && haveTable) return true;
        }
    }
    return false;
}

bool IsEndRecord(const uint8_t* record) {
    return LoadU32(record + kRecordLength) == 0 && LoadU32(record + kRecordImageOffset) == 0 &&
           LoadU32(record + kRecordFlashAddress) == 0 && LoadU16(record + kRecordAttributes) == 0;
}

// Widens the record to its 64 KiB boundary and marks it to be written, so that the whole block
// that holds the ESCD data is erased and written.
void WidenToBlock(uint8_t* record) {
    const uint32_t k = LoadU32(record + kRecordImageOffset) & kBlockBoundaryMask;
    StoreU32(record + kRecordImageOffset, LoadU32(record + kRecordImageOffset) & ~kBlockBoundaryMask);
    StoreU32(record + kRecordLength, LoadU32(record + kRecordLength) + k);
    StoreU32(record + kRecordFlashAddress, LoadU32(record + kRecordFlashAddress) - k);
    StoreU16(record + kRecordAttributes, kWriteBlock);
}

// ---------------------------------------------------------------------------------------------
// Identification of an image file

// The scan stops before the last 40 bytes of the image's first megabyte (or half megabyte).
constexpr uint64_t kScanLimitLarge = 0xFFFD8;
constexpr uint64_t kScanLimitSmall = 0x7FFD8;

bool MarkerAt(const uint8_t* data, uint64_t size, uint64_t position, const char* marker, size_t blockEnd) {
    const size_t length = std::strlen(marker);
    // A block whose fields would lie beyond the end of the file is not taken.
    if (position + (blockEnd > length ? blockEnd : length) > size) return false;
    return std::memcmp(data + position, marker, length) == 0;
}

}  // namespace

ResultCode SelectUpdateImages() {
    LogLine("*** Old Bios Info ***");
    LogLine("Bios Part Number : %s", ctx.currentPartNumber);
    LogLine("Bios Model Number : %s", ctx.currentModel);
    LogLine("Bios Part Version : %s", ctx.currentVersion);

    if (!ChooseCandidate(ctx.ImageFileList, ctx.imageFileCount, "Bios File : %s", kBiosImage)) {
        return kResultBiosFile;
    }
    if (HasOption(SkipUpdateMicom)) return kResultOk;
    if (!ChooseCandidate(ctx.MicomFileList, ctx.micomFileCount, "Micom File : %s", kMicomImage)) {
        return kResultMicomFile;
    }
    return kResultOk;
}

int MarkFlashBlocks() {
    os::Handle file = os::CreateFile(kBiosImage, os::kGenericRead | os::kGenericWrite, os::kShareRead,
                                     os::kOpenExisting, os::kFileAttributeNormal);
    if (!os::IsValid(file)) return 0;
    int marked = 0;
    uint64_t size = 0;
    uint64_t header = 0;
    uint64_t tableMarker = 0;
    uint8_t headerBytes[kTrailerHeaderSize];
    // The whole table is read and checked before anything is written: an image whose table has
    // no end record within the file (or within 255 blocks) is left as it is.
    static uint8_t table[kMaxRecords * kRecordSize];
    int endIndex = -1;
    if (os::GetFileSize(file, &size) &&
        FindTrailerMarkers(file, size >= kLargeImage ? kLargeImage : kSmallImageTrailer, size, &header,
                           &tableMarker) &&
        ReadAt(file, header, headerBytes, sizeof headerBytes)) {
        const uint64_t tableStart =
            (header < tableMarker ? header : tableMarker) + LoadU32(headerBytes + kTableOffsetField);
        for (int i = 0; i < kMaxRecords; ++i) {
            uint8_t* record = table + i * kRecordSize;
            if (!ReadAt(file, tableStart + static_cast<uint64_t>(i) * kRecordSize, record, kRecordSize)) break;
            if (IsEndRecord(record)) {
                endIndex = i;
                break;
            }
        }
        const int escdIndex = size < kLargeImage ? kEscdIndexSmall : kEscdIndexLarge;
        // The end record itself is never changed: a marked end record would make the flash tool
        // read on past the table.
        for (int i = 0; i < endIndex; ++i) {
            uint8_t* record = table + i * kRecordSize;
            const uint64_t where = tableStart + static_cast<uint64_t>(i) * kRecordSize;
            if (i == escdIndex && HasOption(BreakEscd)) {
                WidenToBlock(record);
                WriteAt(file, where, record, kRecordSize);
            }
            // A DMI-only run writes nothing but the block that holds the DMI data.
            if (ctx.runOptions == DmiOnly && i != ctx.dmiBlockIndex) {
                StoreU16(record + kRecordAttributes, kSkipBlock);
                WriteAt(file, where, record, kRecordSize);
            }
        }
        // A table whose first record is the end record has no last block to mark.
        if (endIndex > 0 && HasOption(MarkLastFlashBlock)) {
            uint8_t* record = table + (endIndex - 1) * kRecordSize;
            StoreU16(record + kRecordAttributes, kWriteBlock);
            if (WriteAt(file, tableStart + static_cast<uint64_t>(endIndex - 1) * kRecordSize, record, kRecordSize)) {
                marked = 1;
            }
        }
    }
    os::CloseHandle(file);
    return marked;
}

void ReadImageIdentity(const char* fileName) {
    os::MappedFile view;
    if (!os::MapFileReadOnly(fileName, &view)) return;
    const uint64_t limit = view.size >= kLargeImage ? kScanLimitLarge : kScanLimitSmall;
    for (uint64_t position = 0; position < limit && position < view.size; ++position) {
        if (MarkerAt(view.data, view.size, position, kIdentityMarker, kIdentityBlockEnd)) {
            const char* block = reinterpret_cast<const char*>(view.data + position);
            CopyTextN(ctx.newModel, sizeof ctx.newModel, block + kModelOffset, kShortIdLength);
            CopyTextN(ctx.newVersion, sizeof ctx.newVersion, block + kVersionOffset, kShortIdLength);
            break;
        }
        if (MarkerAt(view.data, view.size, position, kPartNumberMarker, kPartNumberBlockEnd)) {
            CopyTextN(ctx.newPartNumber, sizeof ctx.newPartNumber,
                      reinterpret_cast<const char*>(view.data + position + kPartNumberOffset),
                      kPartNumberLength);
        }
    }
    os::UnmapFile(&view);
}
