#include "emu/tools/rom_image.h"

#include <cstdio>
#include <cstring>

namespace emu::rom {
namespace {

constexpr size_t kRecordSize = 64;

std::optional<int64_t> Digits(const std::string& text) {
    if (text.empty()) return std::nullopt;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

void PutRecord(std::vector<uint8_t>& image, size_t at, char kind, const std::string& part, uint32_t version) {
    if (at + kRecordSize > image.size()) return;
    uint8_t* r = image.data() + at;
    std::memset(r, 0, kRecordSize);
    std::memcpy(r, "$FID", 4);
    r[4] = 0x04;
    r[5] = static_cast<uint8_t>(kind);
    std::memcpy(r + 9, part.data(), part.size() < 3 ? part.size() : 3);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", version);
    std::memcpy(r + 52, digits, 8);
}

}  // namespace

std::vector<uint8_t> MakeRomImage(const RomLayout& layout) {
    std::vector<uint8_t> image(layout.size, 0xFF);
    std::memcpy(image.data(), layout.tag.data(), layout.tag.size() < image.size() ? layout.tag.size() : image.size());
    for (int i = 0; i < layout.decoys; ++i)
        PutRecord(image, layout.fidOffset - static_cast<size_t>(layout.decoys - i) * kRecordSize, '!', "999", 99999999);
    if (layout.record) PutRecord(image, layout.fidOffset, '?', layout.partNumber, layout.version);
    return image;
}

RomInfo ReadRomImage(const std::vector<uint8_t>& image) {
    RomInfo info;
    for (size_t at = 0; at + 60 <= image.size(); ++at) {
        if (std::memcmp(image.data() + at, "$FID", 4) != 0 || image[at + 5] != '?') continue;
        info.hasRecord = true;
        info.recordOffset = at;
        info.partNumber.assign(reinterpret_cast<const char*>(image.data() + at + 9), 3);
        info.versionText.assign(reinterpret_cast<const char*>(image.data() + at + 52), 8);
        info.version = Digits(info.versionText);
        break;
    }
    return info;
}

std::optional<uint32_t> ReadAmiSegmentVersion(const std::vector<uint8_t>& segment) {
    static const char kMarker[] = "AMIBIOS";
    for (size_t at = 0; at + 34 <= segment.size(); ++at) {
        if (std::memcmp(segment.data() + at, kMarker, 7) != 0) continue;
        std::string text(reinterpret_cast<const char*>(segment.data() + at + 26), 8);
        std::optional<int64_t> v = Digits(text);
        if (!v) return std::nullopt;
        return static_cast<uint32_t>(*v);
    }
    return std::nullopt;
}

}  // namespace emu::rom
