// The identification an AMI BIOS carries: the "$FID" record of its image ("bios.rom") and the
// "AMIBIOS" block of the running firmware's BIOS area. Offsets count from the marker.
#pragma once

#include <cstddef>
#include <cstdint>

// "$FID" record of an image file.
inline constexpr const char* kFidMarker = "$FID";
inline constexpr size_t kFidMarkerLength = 4;
inline constexpr size_t kFidKindOffset = 5;
inline constexpr uint8_t kFidIdentityKind = '?';  // the record that names the image
inline constexpr size_t kFidPartNumberOffset = 9;
inline constexpr size_t kFidPartNumberLength = 3;
inline constexpr size_t kFidVersionOffset = 52;
inline constexpr size_t kFidVersionLength = 8;  // decimal text
inline constexpr size_t kFidRecordEnd = kFidVersionOffset + kFidVersionLength;

// "AMIBIOS" block of the BIOS area.
inline constexpr const char* kAmiBlockMarker = "AMIBIOS";
inline constexpr size_t kAmiBlockVersionOffset = 26;
inline constexpr size_t kAmiBlockVersionLength = 8;  // decimal text
inline constexpr size_t kAmiBlockEnd = kAmiBlockVersionOffset + kAmiBlockVersionLength;

inline constexpr uint64_t kNoFidRecord = UINT64_MAX;

// The offset of the image's identification record: the first "$FID" below size - 4 whose byte at
// offset 5 is "?". A record is only taken whole: one that the image's end cuts off before its
// version counts as none, so that no field is ever read past the end.
uint64_t FindFidRecord(const uint8_t* image, uint64_t size);

// A version text of `length` bytes read as a signed decimal number: leading white space skipped,
// an optional sign, then digits up to the first non-digit (0 when there are none).
int32_t ParseDecimalVersion(const uint8_t* text, size_t length);
