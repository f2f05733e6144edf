// Program files with an update package behind them, made in memory for tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <zlib.h>

namespace testpkg {

inline void PutU32(std::string& s, size_t at, uint32_t v) {
    if (s.size() < at + 4) s.resize(at + 4, '\0');
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
inline void AppendU32(std::string& s, uint32_t v) { PutU32(s, s.size(), v); }

// One gzip member holding data.
inline std::string Gzip(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

struct Entry {
    std::string name;  // as stored, normally ending in ".gz"
    std::string data;  // stored bytes (usually Gzip(contents))
    int32_t size = -1; // size field; -1: data.size()
};

// A stand-in program image of imageSize bytes (starting with "MZ"), the package behind it and
// its offset at byte 40.
inline std::string ProgramWithPackage(uint32_t defaultOptions, const std::vector<Entry>& entries,
                                      const char* magic = "LPCK", size_t imageSize = 1024,
                                      int32_t entryCount = -1) {
    std::string file(imageSize, '\0');
    file[0] = 'M';
    file[1] = 'Z';
    PutU32(file, 40, static_cast<uint32_t>(file.size()));
    file.append(magic, 4);
    AppendU32(file, defaultOptions);
    AppendU32(file, static_cast<uint32_t>(entryCount >= 0 ? entryCount : static_cast<int32_t>(entries.size())));
    for (const Entry& e : entries) {
        std::string name(260, '\0');
        name.replace(0, std::min<size_t>(e.name.size(), 260), e.name.substr(0, 260));
        file += name;
        AppendU32(file, static_cast<uint32_t>(e.size >= 0 ? e.size : static_cast<int32_t>(e.data.size())));
        file += e.data;
    }
    return file;
}

// The smallest file Windows takes for a kernel driver of a processor: a PE header of the native
// subsystem for i386 or x64 (no sections, no code), the emulated Windows starts it as a driver.
inline std::string DriverImage(bool x64) {
    const size_t optionalSize = x64 ? 240 : 224;
    std::string file(0x40 + 24 + optionalSize, '\0');
    file[0] = 'M';
    file[1] = 'Z';
    PutU32(file, 0x3C, 0x40);
    file.replace(0x40, 4, "PE\0\0", 4);
    PutU32(file, 0x44, x64 ? 0x8664u : 0x014Cu);  // machine; no sections
    PutU32(file, 0x54, static_cast<uint32_t>(optionalSize) | 0x0002u << 16);  // executable image
    const size_t optional = 0x40 + 24;
    PutU32(file, optional, x64 ? 0x20Bu : 0x10Bu);
    PutU32(file, optional + 68, 1);  // native subsystem
    PutU32(file, optional + (x64 ? 108 : 92), 16);  // data directories
    return file;
}

// The package entries of both access drivers, as a release carries them.
inline std::vector<Entry> DriverEntries() {
    return {{"AddMem.sys.gz", Gzip(DriverImage(false))}, {"AddMem64.sys.gz", Gzip(DriverImage(true))}};
}

}  // namespace testpkg
