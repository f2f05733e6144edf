// AMI BIOS images (".rom") as the emulated notebook knows them: the whole flash part's contents
// with the image's identification record "$FID" somewhere inside ("$FID", a format byte, "?" at
// offset 5 for the record that names the image, the 3-character part number at 9, the version as
// 8 decimal digits at 52). And the running firmware's "AMIBIOS" block (version digits at 26).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu::rom {

inline constexpr uint32_t kDefaultFidOffset = 0x10000;

struct RomLayout {
    uint32_t size = 0x200000;          // the flash part's size
    std::string partNumber = "112";    // 3 characters
    uint32_t version = 208;            // 0..99999999
    uint32_t fidOffset = kDefaultFidOffset;
    bool record = true;                // false: no "$FID" record at all
    // Records that do not name the image ("$FID" with another byte at 5), placed before it.
    int decoys = 0;
    std::string tag = "AMI";           // a text written at the start, to tell images apart
};
std::vector<uint8_t> MakeRomImage(const RomLayout& layout);

struct RomInfo {
    bool hasRecord = false;
    uint64_t recordOffset = 0;
    std::string partNumber;
    std::string versionText;  // the 8 bytes at 52
    std::optional<int64_t> version;  // the digits read as a decimal number, when they are digits
};
RomInfo ReadRomImage(const std::vector<uint8_t>& image);

// The version of the first "AMIBIOS" block of a BIOS segment; nullopt without one.
std::optional<uint32_t> ReadAmiSegmentVersion(const std::vector<uint8_t>& segment);

}  // namespace emu::rom
