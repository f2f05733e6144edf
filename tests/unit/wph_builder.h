// Builds ".wph" BIOS images for tests: ROM contents of a flash part's size with the
// identification blocks, then the flash trailer ("ZFLPF" header, "ZQDS" marker, block table).
//
// Written from the image format, not from the program's code: the ROM contents, then
// `trailerGap` filler bytes, then the trailer. By default the 61-byte "ZFLPF" header comes first,
// "ZQDS" right after it and the table right after that; the header's tableOffset (at 53) counts
// from the lower of the two markers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wph {

inline constexpr uint32_t kWriteBlock = 0x22;
inline constexpr uint32_t kTopBlock = 0x122;
inline constexpr uint64_t kFourGiB = 0x100000000ull;

struct Record {
    uint32_t length = 0;
    uint32_t imageOffset = 0;
    uint32_t flashAddress = 0;
    uint16_t reserved = 0;
    uint16_t attributes = 0;
    bool operator==(const Record&) const = default;
};

inline void PutU16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}
inline void PutU32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
inline uint16_t GetU16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}
inline uint32_t GetU32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
}

// One whole 64 KiB block per record: attributes 0x22, 0x122 on the top block.
inline std::vector<Record> WholeBlocks(uint32_t romSize, int count) {
    std::vector<Record> records;
    for (int i = 0; i < count; ++i) {
        Record r;
        r.length = 0x10000;
        r.imageOffset = static_cast<uint32_t>(i) * 0x10000;
        r.flashAddress = static_cast<uint32_t>(kFourGiB - romSize + r.imageOffset);
        r.attributes = i == count - 1 ? kTopBlock : kWriteBlock;
        records.push_back(r);
    }
    return records;
}

struct Image {
    uint32_t romSize = 0x200000;
    std::vector<Record> records = WholeBlocks(0x200000, 32);
    bool endRecord = true;            // false: the table runs on to the end of the file
    uint16_t endRecordReserved = 0;   // not looked at by a reader of the table
    uint32_t trailerGap = 0;          // filler bytes between the ROM contents and the trailer
    bool tableMarkerFirst = false;    // "ZQDS" before the "ZFLPF" header
    uint32_t tableGap = 0;            // bytes between the second marker and the table
    // Identification blocks in the ROM contents (not written when the offset is 0).
    uint32_t partBlockAt = 0;         // "DEVEL" + part number
    std::string partNumber = "047";
    uint32_t identityBlockAt = 0;     // "DiaG@" with model and version
    std::string model = "R580";
    std::string version = "08RK";

    // The whole file.
    std::string Bytes() const {
        std::string s(romSize, '\0');
        // A fill that tells the blocks apart and, with its high bit always set, never forms a
        // marker.
        for (uint32_t i = 0; i < romSize; ++i) s[i] = static_cast<char>(0x80 | (((i >> 16) * 7 + i) & 0x7F));
        if (partBlockAt != 0) {
            s.replace(partBlockAt, 5, "DEVEL");
            s.replace(partBlockAt + 5, partNumber.size(), partNumber);
        }
        if (identityBlockAt != 0) {
            s.replace(identityBlockAt, 40, std::string(40, '\0'));
            s.replace(identityBlockAt, 5, "DiaG@");
            s.replace(identityBlockAt + 12, model.size(), model);
            s.replace(identityBlockAt + 25, version.size(), version);
        }
        s += std::string(trailerGap, '\x90');

        std::string header(61, '\x01');
        header.replace(0, 5, "ZFLPF");
        const std::string tableMarker = "ZQDS";
        const uint32_t tableOffset = static_cast<uint32_t>(header.size() + tableMarker.size() + tableGap);
        PutU32(header, 53, tableOffset);
        s += tableMarkerFirst ? tableMarker + header : header + tableMarker;
        s += std::string(tableGap, '\x02');

        for (const Record& r : records) s += Encode(r);
        if (endRecord) {
            Record end;
            end.reserved = endRecordReserved;
            s += Encode(end);
        }
        return s;
    }

    // Where the table starts in the file.
    size_t TableStart() const {
        return romSize + trailerGap + 61 + 4 + tableGap;
    }

    static std::string Encode(const Record& r) {
        std::string b(16, '\0');
        PutU32(b, 0, r.length);
        PutU32(b, 4, r.imageOffset);
        PutU32(b, 8, r.flashAddress);
        PutU16(b, 12, r.reserved);
        PutU16(b, 14, r.attributes);
        return b;
    }
};

// Record i of the table that starts at tableStart in file.
inline Record RecordAt(const std::string& file, size_t tableStart, int i) {
    const size_t at = tableStart + static_cast<size_t>(i) * 16;
    Record r;
    r.length = GetU32(file, at);
    r.imageOffset = GetU32(file, at + 4);
    r.flashAddress = GetU32(file, at + 8);
    r.reserved = GetU16(file, at + 12);
    r.attributes = GetU16(file, at + 14);
    return r;
}

}  // namespace wph
