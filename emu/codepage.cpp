#include "emu/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <string>

#include "emu/world.h"

namespace emu {
namespace {

struct CodePageRow {
    uint16_t langId;
    uint32_t codePage;
};

// Systems whose ANSI code page is not 1252. Whole identifiers: Chinese (Singapore) writes the
// simplified script, Chinese (Hong Kong and Macao) the traditional one.
constexpr CodePageRow kCodePages[] = {
    {0x0404, 950}, {0x0C04, 950}, {0x1404, 950},  // Chinese, traditional script
    {0x0804, 936}, {0x1004, 936},                 // Chinese, simplified script
    {0x0412, 949},                                // Korean
    {0x0411, 932},                                // Japanese
    {0x0419, 1251}, {0x0422, 1251}, {0x0423, 1251}, {0x0402, 1251},  // Russian, Ukrainian, ...
    {0x0405, 1250}, {0x0415, 1250}, {0x040E, 1250},  // Czech, Polish, Hungarian
    {0x0408, 1253}, {0x041F, 1254}, {0x040D, 1255}, {0x0401, 1256},
};

// One iconv conversion, opened for the call: the descriptors are not shared between threads.
class Converter {
  public:
    Converter(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    // Converts the whole input; false (out unchanged) when iconv refuses any of it.
    bool Convert(const char* in, size_t size, std::string* out) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char buffer[64];
        char* src = const_cast<char*>(in);
        size_t left = size;
        std::string result;
        while (left > 0) {
            char* dst = buffer;
            size_t room = sizeof buffer;
            size_t r = iconv(cd_, &src, &left, &dst, &room);
            result.append(buffer, static_cast<size_t>(dst - buffer));
            if (r == static_cast<size_t>(-1) && errno != E2BIG) return false;
        }
        char* dst = buffer;
        size_t room = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &dst, &room);
        result.append(buffer, static_cast<size_t>(dst - buffer));
        *out += result;
        return true;
    }

  private:
    iconv_t cd_;
};

std::string IconvName(uint32_t codePage) { return "CP" + std::to_string(codePage); }

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
        uint32_t cp = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        bool valid = extra >= 0 && i + static_cast<size_t>(extra) < text.size() + (extra == 0 ? 1 : 0);
        for (int k = 1; valid && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((c & 0xC0) != 0x80) valid = false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (!valid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += static_cast<size_t>(extra) + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

}  // namespace

uint32_t AnsiCodePageOf(uint16_t langId) {
    for (const CodePageRow& row : kCodePages)
        if (row.langId == langId) return row.codePage;
    return 1252;
}

uint32_t AnsiCodePage() {
    if (!WorldAttached()) return 1252;
    const nlohmann::json& langId = ProfileValue("/windows/langId");
    return AnsiCodePageOf(langId.is_number_unsigned() ? static_cast<uint16_t>(langId.get<uint32_t>()) : 0x0409);
}

std::string Utf16ToCodePage(std::u16string_view text, uint32_t codePage, size_t maxBytes) {
    Converter converter(IconvName(codePage) + "//TRANSLIT", "UTF-16LE");
    std::string out;
    for (size_t i = 0; i < text.size();) {
        size_t units = 1;
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            units = 2;
        std::string bytes;
        if (c < 0x80) {
            bytes = static_cast<char>(c);
        } else {
            char in[4];
            for (size_t k = 0; k < units; ++k) {
                in[2 * k] = static_cast<char>(text[i + k] & 0xFF);
                in[2 * k + 1] = static_cast<char>(text[i + k] >> 8);
            }
            // A transliteration that spells the character with several ("ZH" for a Cyrillic
            // letter) is no best fit: Windows puts one character of the code page, or "?".
            const bool doubleByte = codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
            if (!converter.ok() || !converter.Convert(in, 2 * units, &bytes) ||
                !(bytes.size() == 1 || (doubleByte && bytes.size() == 2 && static_cast<unsigned char>(bytes[0]) >= 0x81)))
                bytes = "?";
        }
        if (maxBytes != std::string::npos && out.size() + bytes.size() > maxBytes) break;
        out += bytes;
        i += units;
    }
    return out;
}

std::u16string MissingCharacters(std::u16string_view text, uint32_t codePage) {
    // Without transliteration iconv refuses exactly the characters the code page lacks.
    Converter converter(IconvName(codePage), "UTF-16LE");
    std::u16string missing;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c < 0x80) continue;
        const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        const std::u16string_view unit = text.substr(i, pair ? 2 : 1);
        char in[4];
        for (size_t k = 0; k < unit.size(); ++k) {
            in[2 * k] = static_cast<char>(unit[k] & 0xFF);
            in[2 * k + 1] = static_cast<char>(unit[k] >> 8);
        }
        std::string bytes;
        if ((!converter.ok() || !converter.Convert(in, 2 * unit.size(), &bytes)) &&
            missing.find(unit) == std::u16string::npos) {
            missing += unit;
        }
        if (pair) ++i;
    }
    return missing;
}

std::string CodePageToUtf8(std::string_view text, uint32_t codePage) {
    Converter converter("UTF-8", IconvName(codePage));
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        // A character of one or (in the double-byte code pages) two bytes.
        bool done = false;
        for (size_t length = 1; length <= 2 && i + length <= text.size() && !done; ++length) {
            std::string bytes;
            if (converter.ok() && converter.Convert(text.data() + i, length, &bytes)) {
                out += bytes;
                i += length;
                done = true;
            }
        }
        if (!done) {
            out += '?';
            ++i;
        }
    }
    return out;
}

std::string Utf8ToCodePage(std::string_view text, uint32_t codePage, size_t maxBytes) {
    return Utf16ToCodePage(Utf8ToUtf16(text), codePage, maxBytes);
}

}  // namespace emu
