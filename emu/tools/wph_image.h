// ".wph" BIOS images as the vendor's build delivers them, made and read for the emulated
// notebook: the ROM contents of a whole flash part, followed by the flash trailer that tells the
// Phoenix flash tool which 64 KiB blocks to write.
//
// ROM contents (the part's size: 512 KiB, 1 MiB or 2 MiB):
//   - every 4 KiB page begins with a 16-byte page tag, "WPH:" + the image's tag (8 characters,
//     blank-padded) + the block number + the page number within the block + 2 check bytes; the
//     rest of the page is a fill that differs from block to block and from image to image. A
//     flash part read back therefore says, page by page, which image and which block it holds.
//     The fill never holds the byte 'Z', so no trailer marker can appear inside the ROM.
//   - the BIOS's data module at real-mode segment `segment` (image offset segment x 16, less
//     0x80000 in an image below 1 MiB) holds the identification blocks in this order:
//       "DEVEL"  +5: part number (3)
//       "DiaG@"  +11: first character of a 5-character model (0 otherwise), +12: model (4),
//                +25: version (4, a fifth character at +29)
//       "BCPSYS" +15: BIOS date "MM/DD/YY", +105: u16 segment of the data module
//       "BCPDMI" +20: u16 offset of a pair of u16 offsets (BIOS flag string of 16 bytes, purchase
//                date template of 10 bytes), +28: u16 offset of the system serial (32 bytes);
//                the offsets lie in the data module's segment.
// Flash trailer (right behind the ROM contents):
//   "ZFLPF" header of 61 bytes with the u32 tableOffset at +53, then "ZQDS", then the table of
//   16-byte records {u32 length, u32 imageOffset, u32 flashAddress, u16 reserved, u16 attributes}
//   starting tableOffset bytes after the lower of the two markers, ended by an all-zero record.
//   flashAddress = 4 GiB - part size + imageOffset. Attributes: 0x22 write the block, 0x122 the
//   top block (written too), 0 leave the block out.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace emu::wph {

constexpr uint32_t kBlockSize = 0x10000;
constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kPageTagSize = 16;
constexpr uint32_t kHeaderSize = 61;
constexpr uint32_t kTableOffsetField = 53;
constexpr uint32_t kRecordSize = 16;
constexpr uint16_t kWriteBlock = 0x22;
constexpr uint16_t kTopBlock = 0x122;
constexpr uint64_t kFourGiB = 0x100000000ull;

struct FlashRecord {
    uint32_t length = 0;
    uint32_t imageOffset = 0;
    uint32_t flashAddress = 0;
    uint16_t reserved = 0;
    uint16_t attributes = 0;
    bool operator==(const FlashRecord&) const = default;
};

struct ImageOptions {
    std::string model = "R580";     // 4 or 5 characters
    std::string version = "08RK";   // 4 or 5 characters; characters 3-4 are the platform key
    std::string partNumber = "047"; // 3 characters
    std::string date = "01/20/12";  // MM/DD/YY
    uint32_t romSize = 0x200000;    // 0x80000, 0x100000 or 0x200000
    std::string tag;                // page tags: up to 8 characters; empty: the version
    // Bytes at the start of the ESCD block (record 8, record 0 below 1 MiB) that its record leaves
    // out: the record then starts escdKeep bytes into the block. 0: a whole-block record.
    uint32_t escdKeep = 0x8000;
    // Attributes by record index, over the defaults (0x22; 0x122 on the top block).
    std::map<int, uint16_t> attributes;
    uint16_t segment = 0xE000;      // the data module's segment
    std::string serial = "KV580A0000000";     // DMI templates carried by the data module
    std::string biosFlag = "0000000000000000";  // 16 bytes, no terminator
    std::string purchaseDate = "00/00/0000";
};

// The image file's bytes; empty with a reason when an option is out of range.
std::vector<uint8_t> BuildImage(const ImageOptions& options, std::string* error);
// The records BuildImage writes into the trailer for these options.
std::vector<FlashRecord> DefaultRecords(const ImageOptions& options);

// What an image file says about itself.
struct ImageInfo {
    bool hasDiag = false, hasDevel = false, hasSys = false;
    std::string model;       // 4 characters at DiaG@+12
    std::string longModel;   // the 5-character form from DiaG@+11 ("" when +11 holds 0)
    std::string version;     // 4 characters at DiaG@+25, with the fifth at +29 when it is printable
    std::string partNumber;  // DEVEL+5
    std::string date;        // BCPSYS+15, "MM/DD/YY"
    uint16_t segment = 0;    // BCPSYS+105
    bool hasTrailer = false;
    uint64_t headerAt = 0, tableMarkerAt = 0, tableAt = 0;
    std::vector<FlashRecord> records;  // up to the end record (not included)
    bool tableEnded = false;           // the end record was found within the file and 255 records
};

// Reads the identification blocks (first occurrence of each marker within the ROM contents,
// romSize bytes or the whole file when 0) and the trailer behind romSize.
ImageInfo ReadImage(const std::vector<uint8_t>& file, uint32_t romSize);

// A page tag read from 16 bytes of flash or image.
struct PageTag {
    bool valid = false;
    std::string tag;  // as written, blanks removed at the end
    int block = 0;
    int page = 0;
};
PageTag ReadPageTag(const uint8_t* bytes);

// The identification blocks found in a 64 KiB BIOS segment (F0000) as the running BIOS shows
// them: the same fields as ReadImage, without a trailer.
ImageInfo ReadSegmentIdentity(const std::vector<uint8_t>& segment);

// CRC-32 (as zlib and gzip compute it) of a byte range, for the reports.
uint32_t Crc32(const uint8_t* data, size_t length);
inline uint32_t Crc32(const std::vector<uint8_t>& bytes) { return Crc32(bytes.data(), bytes.size()); }

}  // namespace emu::wph
