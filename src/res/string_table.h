// The program's English string table as data, for the code that reads it outside the Windows
// resources: the emulated Windows (the program's own module), the release tool (the ids and
// conversions every language library keeps) and notebook-emu's report.
#pragma once

#include <cstdint>

struct EnglishString {
    uint32_t id;
    const char* text;
};

inline constexpr EnglishString kEnglishStrings[] = {
#define ROMSHELL_STRING(id, name, text) {id, text},
#include "res/strings_en.inc"
#undef ROMSHELL_STRING
};
