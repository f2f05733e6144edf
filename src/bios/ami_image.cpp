#include "bios/ami_image.h"

#include <cstring>

uint64_t FindFidRecord(const uint8_t* image, uint64_t size) {
    if (image == nullptr || size <= kFidMarkerLength) return kNoFidRecord;
    for (uint64_t position = 0; position < size - kFidMarkerLength; ++position) {
        if (std::memcmp(image + position, kFidMarker, kFidMarkerLength) != 0) continue;
        if (size - position < kFidRecordEnd) return kNoFidRecord;
        if (image[position + kFidKindOffset] == kFidIdentityKind) return position;
    }
    return kNoFidRecord;
}

int32_t ParseDecimalVersion(const uint8_t* text, size_t length) {
    size_t i = 0;
    auto isSpace = [](uint8_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < length && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // At most 8 digits: the value always fits.
    int64_t value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) value = INT32_MAX;
    }
    return static_cast<int32_t>(negative ? -value : value);
}
