#include "base/text.h"

#include <cstdio>
#include <cstring>

bool CopyText(char* dst, size_t dstSize, const char* src) {
    return CopyTextN(dst, dstSize, src, static_cast<size_t>(-1));
}

bool CopyTextN(char* dst, size_t dstSize, const char* src, size_t count) {
    if (dstSize == 0) return false;
    size_t i = 0;
    for (; i < count && src[i] != '\0'; ++i) {
        if (i + 1 == dstSize) {
            dst[i] = '\0';
            return false;
        }
        dst[i] = src[i];
    }
    dst[i] = '\0';
    return true;
}

bool AppendText(char* dst, size_t dstSize, const char* src) {
    size_t used = BoundedLength(dst, dstSize);
    size_t add = std::strlen(src);
    if (used >= dstSize || add >= dstSize - used) return false;
    std::memcpy(dst + used, src, add + 1);
    return true;
}

bool FormatTextV(char* dst, size_t dstSize, const char* format, va_list args) {
    if (dstSize == 0) return false;
    int n = std::vsnprintf(dst, dstSize, format, args);
    if (n < 0) {
        dst[0] = '\0';
        return false;
    }
    return static_cast<size_t>(n) < dstSize;
}

bool FormatText(char* dst, size_t dstSize, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool fitted = FormatTextV(dst, dstSize, format, args);
    va_end(args);
    return fitted;
}

size_t BoundedLength(const char* text, size_t max) {
    size_t n = 0;
    while (n < max && text[n] != '\0') ++n;
    return n;
}

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void UpperCaseAscii(char* text) {
    for (; *text != '\0'; ++text) *text = ToUpperAscii(*text);
}

int CompareIgnoreCaseN(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char ca = ToLowerAscii(a[i]);
        char cb = ToLowerAscii(b[i]);
        if (ca != cb) return static_cast<unsigned char>(ca) - static_cast<unsigned char>(cb);
        if (ca == '\0') return 0;
    }
    return 0;
}

bool EqualIgnoreCase(const char* a, const char* b) {
    return CompareIgnoreCaseN(a, b, static_cast<size_t>(-1)) == 0;
}

bool IsPlainWord(const char* text) {
    for (const char* c = text; *c != '\0'; ++c) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if (u <= ' ' || u == '"' || u == 0x7F) return false;
    }
    return true;
}
