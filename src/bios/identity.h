// The identification blocks that a Phoenix BIOS carries, in its image and in the running
// firmware's BIOS area alike: "DiaG@" (model and version) and "DEVEL" (BIOS part number). Offsets
// count from the block's marker.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char* kIdentityMarker = "DiaG@";
inline constexpr size_t kIdentityBlockEnd = 29;   // the fields end before this offset
inline constexpr uint32_t kIdentityBlockSize = 40;  // what is read of the block in the BIOS area
inline constexpr int kLongModelOffset = 11;       // first character of the 5-character model form
inline constexpr int kModelOffset = 12;
inline constexpr int kVersionOffset = 25;
inline constexpr int kShortIdLength = 4;          // model and version
inline constexpr int kLongIdLength = 5;           // the long model form

inline constexpr const char* kPartNumberMarker = "DEVEL";
inline constexpr size_t kPartNumberBlockEnd = 8;
inline constexpr uint32_t kPartNumberBlockSize = 10;  // what is read of the block in the BIOS area
inline constexpr int kPartNumberOffset = 5;
inline constexpr int kPartNumberLength = 3;
