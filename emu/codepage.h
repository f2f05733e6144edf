// The ANSI code page of the emulated Windows and the conversions its "A" functions make.
//
// Windows keeps texts in UTF-16 and gives them to ANSI programs in the system's code page, which
// follows the system's default language: 1251 for Russian, 950 for Traditional Chinese, 936 for
// Simplified Chinese, 949 for Korean, 1252 for the western languages. The emulated Windows keeps
// its texts (window and message-box texts, the desktop's record) in UTF-8 and converts at the same
// places Windows does. Conversions go through the C library's iconv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace emu {

// The ANSI code page of a system whose default language identifier is langId.
uint32_t AnsiCodePageOf(uint16_t langId);
// The code page of the attached world, by its "/windows/langId" (1252 without a world).
uint32_t AnsiCodePage();

// UTF-16 text in a code page, as WideCharToMultiByte makes it: a best-fit letter where the code
// page lacks a character and one is known, else "?". At most maxBytes bytes, and never a
// double-byte character cut in two.
std::string Utf16ToCodePage(std::u16string_view text, uint32_t codePage, size_t maxBytes = std::string::npos);
// Code-page text as UTF-8; a byte the code page does not define becomes "?".
std::string CodePageToUtf8(std::string_view text, uint32_t codePage);
// The characters of a UTF-16 text that the code page lacks, each once, in the order they come:
// what Utf16ToCodePage would give as a best fit or as "?". Empty when every character converts.
std::u16string MissingCharacters(std::u16string_view text, uint32_t codePage);
// UTF-8 text in a code page (as Utf16ToCodePage), at most maxBytes bytes.
std::string Utf8ToCodePage(std::string_view text, uint32_t codePage, size_t maxBytes = std::string::npos);

}  // namespace emu
