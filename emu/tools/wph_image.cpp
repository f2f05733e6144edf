#include "emu/tools/wph_image.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace emu::wph {
namespace {

// Where the identification blocks lie in the data module (offsets in its segment).
constexpr uint32_t kDevelAt = 0x100;
constexpr uint32_t kDiagAt = 0x140;
constexpr uint32_t kSysAt = 0x200;
constexpr uint32_t kDmiAt = 0x300;
constexpr uint32_t kDmiPairAt = 0x340;
constexpr uint32_t kFlagAt = 0x380;
constexpr uint32_t kDateTemplateAt = 0x3A0;
constexpr uint32_t kSerialAt = 0x3C0;
constexpr uint32_t kDiagSize = 40;
constexpr uint32_t kSysSize = 112;
constexpr uint32_t kDmiSize = 40;
// The trailer: header, then "ZQDS" and three filler bytes, then the table.
constexpr uint32_t kTableMarkerAt = kHeaderSize;
constexpr uint32_t kTableAt = kHeaderSize + 8;
constexpr int kMaxRecords = 255;

void PutU16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void PutText(std::vector<uint8_t>& b, size_t at, const std::string& text, size_t width) {
    for (size_t i = 0; i < width; ++i) b[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}

bool Printable(const std::string& t) {
    for (unsigned char c : t)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

bool IsDate(const std::string& d) {
    if (d.size() != 8 || d[2] != '/' || d[5] != '/') return false;
    for (int i : {0, 1, 3, 4, 6, 7})
        if (d[i] < '0' || d[i] > '9') return false;
    return true;
}

uint32_t TextHash(const std::string& t) {
    uint32_t h = 2166136261u;
    for (unsigned char c : t) h = (h ^ c) * 16777619u;
    return h;
}

uint8_t CheckByte(const uint8_t* tag14, int salt) {
    uint8_t s = static_cast<uint8_t>(0xA5 + salt);
    for (int i = 0; i < 14; ++i) s = static_cast<uint8_t>((s << 1 | s >> 7) ^ tag14[i]);
    return s;
}

// The fill of one page: a byte sequence that depends on the image, the block and the page.
void FillPage(uint8_t* page, uint32_t seed, int block, int index, const std::string& tag) {
    std::memcpy(page, "WPH:", 4);
    for (int i = 0; i < 8; ++i) page[4 + i] = i < static_cast<int>(tag.size()) ? static_cast<uint8_t>(tag[i]) : ' ';
    page[12] = static_cast<uint8_t>(block);
    page[13] = static_cast<uint8_t>(index);
    page[14] = CheckByte(page, 0);
    page[15] = CheckByte(page, 1);
    uint32_t x = seed ^ (static_cast<uint32_t>(block) * 0x9E3779B1u) ^ (static_cast<uint32_t>(index) << 8);
    for (uint32_t i = kPageTagSize; i < kPageSize; ++i) {
        x = x * 1103515245u + 12345u;
        uint8_t b = static_cast<uint8_t>(x >> 16);
        // No 'Z' in the ROM contents: the trailer markers must be found behind it only.
        page[i] = b == 'Z' ? static_cast<uint8_t>('z') : b;
    }
}

bool IsRomSize(uint32_t size) { return size == 0x80000 || size == 0x100000 || size == 0x200000; }

uint32_t ModuleBase(uint16_t segment, uint32_t romSize) {
    uint32_t base = static_cast<uint32_t>(segment) * 16;
    return romSize < 0x100000 ? base - 0x80000 : base;
}

size_t Find(const std::vector<uint8_t>& b, size_t from, size_t to, const char* marker) {
    size_t n = std::strlen(marker);
    to = std::min(to, b.size());
    if (to < n || from > to - n) return std::string::npos;
    auto it = std::search(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to), marker, marker + n);
    return it == b.begin() + static_cast<long>(to) ? std::string::npos : static_cast<size_t>(it - b.begin());
}

std::string TextAt(const std::vector<uint8_t>& b, size_t at, size_t n) {
    std::string out;
    for (size_t i = 0; i < n && at + i < b.size(); ++i) {
        if (b[at + i] == 0) break;
        out += static_cast<char>(b[at + i]);
    }
    return out;
}

// Fills the identification fields from the blocks found in [0, limit).
void ReadIdentity(const std::vector<uint8_t>& b, size_t limit, ImageInfo* info) {
    size_t devel = Find(b, 0, limit, "DEVEL");
    if (devel != std::string::npos && devel + 8 <= b.size()) {
        info->hasDevel = true;
        info->partNumber = TextAt(b, devel + 5, 3);
    }
    size_t diag = Find(b, 0, limit, "DiaG@");
    if (diag != std::string::npos && diag + kDiagSize <= b.size()) {
        info->hasDiag = true;
        info->model = TextAt(b, diag + 12, 4);
        if (b[diag + 11] != 0) info->longModel = TextAt(b, diag + 11, 5);
        info->version = TextAt(b, diag + 25, 4);
        uint8_t fifth = b[diag + 29];
        if (info->version.size() == 4 && fifth > 0x20 && fifth < 0x7F) info->version += static_cast<char>(fifth);
    }
    size_t sys = Find(b, 0, limit, "BCPSYS");
    if (sys != std::string::npos && sys + 107 <= b.size()) {
        info->hasSys = true;
        info->date = TextAt(b, sys + 15, 8);
        info->segment = GetU16(&b[sys + 105]);
    }
}

}  // namespace

std::vector<FlashRecord> DefaultRecords(const ImageOptions& o) {
    std::vector<FlashRecord> records;
    int count = static_cast<int>(o.romSize / kBlockSize);
    int escd = o.romSize < 0x100000 ? 0 : 8;
    for (int i = 0; i < count; ++i) {
        FlashRecord r;
        r.length = kBlockSize;
        r.imageOffset = static_cast<uint32_t>(i) * kBlockSize;
        if (i == escd && o.escdKeep != 0) {
            r.imageOffset += o.escdKeep;
            r.length -= o.escdKeep;
        }
        r.flashAddress = static_cast<uint32_t>(kFourGiB - o.romSize + r.imageOffset);
        r.attributes = i == count - 1 ? kTopBlock : kWriteBlock;
        auto a = o.attributes.find(i);
        if (a != o.attributes.end()) r.attributes = a->second;
        records.push_back(r);
    }
    return records;
}

std::vector<uint8_t> BuildImage(const ImageOptions& o, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = why;
        return std::vector<uint8_t>();
    };
    if (!IsRomSize(o.romSize)) return fail("the ROM size must be 524288, 1048576 or 2097152 bytes");
    if ((o.model.size() != 4 && o.model.size() != 5) || !Printable(o.model))
        return fail("the model must be 4 or 5 printable characters");
    if ((o.version.size() != 4 && o.version.size() != 5) || !Printable(o.version))
        return fail("the version must be 4 or 5 printable characters");
    if (o.partNumber.size() != 3 || !Printable(o.partNumber)) return fail("the part number must be 3 printable characters");
    if (!IsDate(o.date)) return fail("the date must read MM/DD/YY");
    std::string tag = o.tag.empty() ? o.version : o.tag;
    if (tag.size() > 8 || !Printable(tag)) return fail("the tag must be at most 8 printable characters");
    if (o.escdKeep >= kBlockSize) return fail("the ESCD part left out must be smaller than a block");
    if (o.serial.size() > 31 || o.biosFlag.size() > 16 || o.purchaseDate.size() > 10 || !Printable(o.serial) ||
        !Printable(o.biosFlag) || !Printable(o.purchaseDate))
        return fail("the DMI templates hold at most 31 (serial), 16 (BIOS flag) and 10 (date) printable characters");
    int count = static_cast<int>(o.romSize / kBlockSize);
    for (const auto& [index, value] : o.attributes) {
        (void)value;
        if (index < 0 || index >= count)
            return fail("attributes for record " + std::to_string(index) + ": the image has records 0 to " +
                        std::to_string(count - 1));
    }
    uint32_t module = ModuleBase(o.segment, o.romSize);
    if (static_cast<uint64_t>(o.segment) * 16 < (o.romSize < 0x100000 ? 0x80000u : 0u) ||
        module + kBlockSize > o.romSize || module % kPageSize != 0)
        return fail("the data module's segment must place it on a page inside the ROM contents");

    std::vector<uint8_t> rom(o.romSize);
    uint32_t seed = TextHash(tag + "/" + o.model + "/" + o.version);
    for (uint32_t at = 0; at < o.romSize; at += kPageSize)
        FillPage(&rom[at], seed, static_cast<int>(at / kBlockSize), static_cast<int>((at % kBlockSize) / kPageSize), tag);

    // The data module: identification blocks and DMI templates.
    std::vector<uint8_t> devel(10, 0);
    std::memcpy(devel.data(), "DEVEL", 5);
    PutText(devel, 5, o.partNumber, 3);
    std::copy(devel.begin(), devel.end(), rom.begin() + module + kDevelAt);

    std::vector<uint8_t> diag(kDiagSize, 0);
    std::memcpy(diag.data(), "DiaG@", 5);
    std::string four = o.model.substr(o.model.size() - 4);
    if (o.model.size() == 5) diag[11] = static_cast<uint8_t>(o.model[0]);
    PutText(diag, 12, four, 4);
    PutText(diag, 25, o.version, o.version.size());
    std::copy(diag.begin(), diag.end(), rom.begin() + module + kDiagAt);

    std::vector<uint8_t> sys(kSysSize, 0);
    std::memcpy(sys.data(), "BCPSYS", 6);
    PutText(sys, 15, o.date, 8);
    PutU16(sys, 105, o.segment);
    std::copy(sys.begin(), sys.end(), rom.begin() + module + kSysAt);

    std::vector<uint8_t> dmi(kDmiSize, 0);
    std::memcpy(dmi.data(), "BCPDMI", 6);
    PutU16(dmi, 20, static_cast<uint16_t>(kDmiPairAt));
    PutU16(dmi, 28, static_cast<uint16_t>(kSerialAt));
    std::copy(dmi.begin(), dmi.end(), rom.begin() + module + kDmiAt);
    PutU16(rom, module + kDmiPairAt, static_cast<uint16_t>(kFlagAt));
    PutU16(rom, module + kDmiPairAt + 2, static_cast<uint16_t>(kDateTemplateAt));
    PutText(rom, module + kFlagAt, o.biosFlag, 16);
    PutText(rom, module + kDateTemplateAt, o.purchaseDate, 10);
    PutText(rom, module + kSerialAt, o.serial, 32);

    // A model, version or tag with "ZQDS" or "ZFLPF" in it would put a marker into the ROM.
    if (Find(rom, 0, rom.size(), "ZQDS") != std::string::npos || Find(rom, 0, rom.size(), "ZFLPF") != std::string::npos)
        return fail("the identification texts put a trailer marker into the ROM contents");

    std::vector<FlashRecord> records = DefaultRecords(o);
    std::vector<uint8_t> trailer(kTableAt + (records.size() + 1) * kRecordSize, 0);
    std::memcpy(trailer.data(), "ZFLPF", 5);
    // The header's other fields are the tool's business; a readable label fills some of them.
    PutText(trailer, 8, "ROMSHELL SAMPLE " + o.model + " " + o.version, 40);
    PutU32(trailer, kTableOffsetField, kTableAt);
    std::memcpy(trailer.data() + kTableMarkerAt, "ZQDS", 4);
    for (size_t i = 0; i < records.size(); ++i) {
        size_t at = kTableAt + i * kRecordSize;
        PutU32(trailer, at, records[i].length);
        PutU32(trailer, at + 4, records[i].imageOffset);
        PutU32(trailer, at + 8, records[i].flashAddress);
        PutU16(trailer, at + 12, records[i].reserved);
        PutU16(trailer, at + 14, records[i].attributes);
    }
    rom.insert(rom.end(), trailer.begin(), trailer.end());
    return rom;
}

ImageInfo ReadImage(const std::vector<uint8_t>& file, uint32_t romSize) {
    ImageInfo info;
    size_t limit = romSize == 0 ? file.size() : std::min<size_t>(romSize, file.size());
    ReadIdentity(file, limit, &info);
    if (romSize == 0 || file.size() <= romSize) return info;

    size_t header = Find(file, romSize, file.size(), "ZFLPF");
    size_t marker = Find(file, romSize, file.size(), "ZQDS");
    if (header == std::string::npos || marker == std::string::npos || header + kHeaderSize > file.size()) return info;
    info.hasTrailer = true;
    info.headerAt = header;
    info.tableMarkerAt = marker;
    info.tableAt = std::min(header, marker) + GetU32(&file[header + kTableOffsetField]);
    for (int i = 0; i < kMaxRecords + 1; ++i) {
        uint64_t at = info.tableAt + static_cast<uint64_t>(i) * kRecordSize;
        if (at + kRecordSize > file.size()) break;
        const uint8_t* p = &file[at];
        FlashRecord r{GetU32(p), GetU32(p + 4), GetU32(p + 8), GetU16(p + 12), GetU16(p + 14)};
        if (r.length == 0 && r.imageOffset == 0 && r.flashAddress == 0 && r.attributes == 0) {
            info.tableEnded = true;
            break;
        }
        if (i == kMaxRecords) break;
        info.records.push_back(r);
    }
    return info;
}

ImageInfo ReadSegmentIdentity(const std::vector<uint8_t>& segment) {
    ImageInfo info;
    ReadIdentity(segment, segment.size(), &info);
    return info;
}

PageTag ReadPageTag(const uint8_t* bytes) {
    PageTag t;
    if (std::memcmp(bytes, "WPH:", 4) != 0 || bytes[14] != CheckByte(bytes, 0) || bytes[15] != CheckByte(bytes, 1))
        return t;
    t.valid = true;
    t.tag.assign(reinterpret_cast<const char*>(bytes + 4), 8);
    while (!t.tag.empty() && t.tag.back() == ' ') t.tag.pop_back();
    t.block = bytes[12];
    t.page = bytes[13];
    return t;
}

uint32_t Crc32(const uint8_t* data, size_t length) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (length > 0) {
        uInt n = static_cast<uInt>(std::min<size_t>(length, 1u << 30));
        crc = crc32(crc, data, n);
        data += n;
        length -= n;
    }
    return static_cast<uint32_t>(crc);
}

}  // namespace emu::wph
