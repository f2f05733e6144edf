// Bounded text helpers for the fixed-size buffers of the program.
//
// Every text the program keeps lives in a char array whose size the design fixes (260 for paths,
// 256 for command lines and loaded strings). These helpers never write past the given size and
// always leave a terminated text; they report whether the whole source fitted.
#pragma once

#include <cstdarg>
#include <cstddef>

// Copies src into dst (of dstSize bytes). True when all of src fitted; otherwise dst holds as
// much of src as fits.
bool CopyText(char* dst, size_t dstSize, const char* src);
// Copies at most count characters of src (less when src ends earlier).
bool CopyTextN(char* dst, size_t dstSize, const char* src, size_t count);
// Appends src to the text in dst. True when all of src fitted; otherwise dst is left unchanged.
bool AppendText(char* dst, size_t dstSize, const char* src);
// printf-style formatting into dst; a result that does not fit is cut. True when it fitted.
bool FormatText(char* dst, size_t dstSize, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool FormatTextV(char* dst, size_t dstSize, const char* format, va_list args);

template <size_t N>
bool CopyText(char (&dst)[N], const char* src) { return CopyText(dst, N, src); }
template <size_t N>
bool AppendText(char (&dst)[N], const char* src) { return AppendText(dst, N, src); }

// Length of a text that may not be terminated within max bytes.
size_t BoundedLength(const char* text, size_t max);

// ASCII-only case handling: the program compares file names and options this way, whatever the
// code page.
char ToUpperAscii(char c);
char ToLowerAscii(char c);
void UpperCaseAscii(char* text);
// Compares the first n characters without regard to ASCII case (like strnicmp): 0 when equal.
int CompareIgnoreCaseN(const char* a, const char* b, size_t n);
bool EqualIgnoreCase(const char* a, const char* b);

// Whether text can stand in a command line as one word, or as the tail of one, without changing
// how the line splits: no blank, tab, quote or other control character.
bool IsPlainWord(const char* text);
