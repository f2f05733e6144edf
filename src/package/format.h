// The update package's format, written once for the program, the release tool, the fuzz target
// and notebook-emu.
//
// The program file holds at byte 40 the absolute offset of the package (0: none). The package is
// a 12-byte header ("LPCK", defaultOptions, entryCount) followed by entries: a 260-byte NUL-padded
// name ending in ".gz", a 32-bit size and one gzip member of that size. Numbers are little-endian.
// A program file that can carry a package holds its unpacker marker in its initialised data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr uint32_t kPackageOffsetPosition = 40;
constexpr uint32_t kPackageMagic = 0x4B43504C;  // "LPCK" read as a little-endian number
constexpr char kPackageMagicText[4] = {'L', 'P', 'C', 'K'};
constexpr uint32_t kPackageHeaderSize = 12;
constexpr uint32_t kEntryNameSize = 260;
constexpr uint32_t kEntryHeadSize = 264;  // name and size
constexpr const char kEntrySuffix[] = ".gz";

// The unpacker markers of the two programs.
inline constexpr char kRomshellMarker[] = "UnPaCkErSiG@Version 2.02";
inline constexpr char kRomshellPhxMarker[] = "UnPaCkErSiG@Version 1.50";

struct ProgramMarker {
    const char* program;
    const char* marker;
};
inline constexpr ProgramMarker kProgramMarkers[] = {
    {"romshell", kRomshellMarker},
    {"romshell-phx", kRomshellPhxMarker},
};

// A marker as a character array, so that a program can keep it as writable initialised data.
template <size_t N>
constexpr std::array<char, N> MarkerData(const char (&text)[N]) {
    std::array<char, N> data{};
    for (size_t i = 0; i < N; ++i) data[i] = text[i];
    return data;
}
