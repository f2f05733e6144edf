#include "pack.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string_view>

#include "core/run_options.h"
#include "emu/wine-driver/bench_marker.h"
#include "os/os.h"
#include "package/entry_name.h"
#include "package/format.h"
#include "pe/pe_resources.h"
#include "res/string_table.h"

#ifdef _WIN32
#include <windows.h>
// The PE reader's functions carry Win32 names that the headers make macros of.
#undef LoadString
#undef FindResource
#else
#include "emu/codepage.h"
#endif

namespace fs = std::filesystem;

namespace pack {

namespace {

// The package format is the program's own (package/format.h).
constexpr uint32_t kOffsetPosition = kPackageOffsetPosition;
constexpr uint32_t kMinimumProgramSize = 64;
constexpr const char (&kMagic)[4] = kPackageMagicText;
constexpr uint32_t kHeaderSize = kPackageHeaderSize;
constexpr uint32_t kNameSize = kEntryNameSize;
constexpr uint32_t kHeadSize = kEntryHeadSize;
constexpr uint8_t kGzipOsCode = 11;
constexpr const char (&kSuffix)[4] = kEntrySuffix;

constexpr size_t kChunk = 1 << 16;

uint32_t LoadU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreU32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::string Hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

std::string HexBytes(const uint8_t* bytes, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        char two[4];
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    return text;
}

// A SHA-256 under way, through the program's own digest seam.
struct Sha256 {
    os::Handle digest = os::CreateDigest(os::kCalgSha256);
    ~Sha256() { os::DestroyDigest(digest); }
    void Add(const char* data, size_t size) { os::AddToDigest(digest, data, static_cast<uint32_t>(size)); }
    std::string Hex() {
        uint8_t value[os::kLargestDigestSize];
        uint32_t size = 0;
        return os::FinishDigest(digest, value, &size) ? HexBytes(value, size) : std::string("-");
    }
};

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

bool EndsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// A name as it can be shown in a message: bytes outside printable ASCII as \xNN.
std::string Printable(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string EntryLabel(size_t index, const std::string& name) {
    return "entry " + std::to_string(index + 1) + " \"" + Printable(name) + "\"";
}

bool ReadAt(std::ifstream& in, uint64_t offset, char* buffer, size_t size) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(buffer, static_cast<std::streamsize>(size));
    return in.gcount() == static_cast<std::streamsize>(size);
}

// Decompresses the gzip member stored at [start, start + size) of the file, handing the output
// to sink (when given). "" on success, else the reason. zlib checks the trailer's CRC and length.
struct Inflated {
    uint64_t unpacked = 0;
    uint32_t crc = 0;        // from the trailer
    uint64_t trailing = 0;   // stored bytes behind the member
};

std::string InflateMember(std::ifstream& in, uint64_t start, uint64_t size,
                          const std::function<bool(const char*, size_t)>& sink, Inflated* result) {
    if (size == 0) return "holds no gzip member (size 0)";
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return "zlib cannot start";
    std::vector<char> input(kChunk);
    std::vector<char> output(kChunk);
    uint64_t left = size;
    uint64_t position = start;
    std::string reason;
    int status = Z_OK;
    uint32_t crc = crc32(0, nullptr, 0);
    while (status != Z_STREAM_END && reason.empty()) {
        if (z.avail_in == 0) {
            if (left == 0) {
                reason = "gzip member cut short";
                break;
            }
            size_t n = static_cast<size_t>(std::min<uint64_t>(left, kChunk));
            if (!ReadAt(in, position, input.data(), n)) {
                reason = "cannot be read";
                break;
            }
            position += n;
            left -= n;
            z.next_in = reinterpret_cast<Bytef*>(input.data());
            z.avail_in = static_cast<uInt>(n);
        }
        z.next_out = reinterpret_cast<Bytef*>(output.data());
        z.avail_out = static_cast<uInt>(output.size());
        status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            reason = status == Z_BUF_ERROR ? "gzip member cut short"
                                           : std::string("does not decompress (") + (z.msg ? z.msg : "zlib error") + ")";
            break;
        }
        size_t produced = output.size() - z.avail_out;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(output.data()), static_cast<uInt>(produced));
        result->unpacked += produced;
        if (produced > 0 && sink && !sink(output.data(), produced)) reason = "output cannot be written";
    }
    if (reason.empty()) {
        result->trailing = left + z.avail_in;
        unsigned char trailer[8];
        uint64_t memberEnd = start + size - result->trailing;
        if (!ReadAt(in, memberEnd - 8, reinterpret_cast<char*>(trailer), 8)) return "cannot be read";
        result->crc = LoadU32(trailer);
        // zlib has compared both already; a disagreement here would be a reader fault.
        if (result->crc != crc || LoadU32(trailer + 4) != static_cast<uint32_t>(result->unpacked)) {
            reason = "trailer disagrees with the data";
        }
    }
    inflateEnd(&z);
    return reason;
}

// The problems that make a package unfit to extract: those of ReadPackage and CheckMembers,
// names without ".gz" and names twice.
bool CheckForExtraction(const std::string& file, PackageInfo* info, Problems* problems) {
    size_t before = problems->size();
    if (!ReadPackage(file, info, problems)) return false;
    CheckMembers(file, info, problems);
    std::map<std::string, std::string> seen;
    for (size_t i = 0; i < info->entries.size(); ++i) {
        const EntryInfo& e = info->entries[i];
        if (e.name.size() <= 3 || !EndsWith(e.name, kSuffix)) {
            problems->push_back(file + ": " + EntryLabel(i, e.name) + ": name does not end in \".gz\"");
        }
        auto [it, fresh] = seen.emplace(Lower(e.name), e.name);
        if (!fresh) {
            problems->push_back(file + ": " + EntryLabel(i, e.name) + ": same name as \"" + Printable(it->second) +
                                "\" without regard to case");
        }
    }
    return problems->size() == before;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Default options

bool ParseOptions(const std::string& text, uint32_t* options, std::string* error) {
    uint32_t value = 0;
    std::stringstream items(text);
    std::string item;
    bool any = false;
    while (std::getline(items, item, ',')) {
        size_t first = item.find_first_not_of(" \t");
        size_t last = item.find_last_not_of(" \t");
        item = first == std::string::npos ? "" : item.substr(first, last - first + 1);
        if (item.empty()) {
            *error = "empty item in \"" + text + "\"";
            return false;
        }
        any = true;
        bool hex = item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X');
        const std::string digits = hex ? item.substr(2) : item;
        bool numeric = !digits.empty() &&
                       digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") == std::string::npos;
        if (numeric) {
            if (digits.size() > 10 || std::stoull(digits, nullptr, hex ? 16 : 10) > 0xFFFFFFFFull) {
                *error = "\"" + item + "\" does not fit 32 bits";
                return false;
            }
            value |= static_cast<uint32_t>(std::stoull(digits, nullptr, hex ? 16 : 10));
            continue;
        }
        uint32_t bit = 0;
        for (const RunOptionName& row : kRunOptionNames) {
            if (Lower(row.name) == Lower(item)) bit = row.bit;
        }
        if (bit == 0) {
            *error = "\"" + item + "\" is neither a number nor a flag name";
            return false;
        }
        value |= bit;
    }
    if (!any) {
        *error = "no value given";
        return false;
    }
    *options = value;
    return true;
}

std::string OptionNames(uint32_t options) {
    std::string names;
    uint32_t unnamed = options;
    for (const RunOptionName& row : kRunOptionNames) {
        if (options & row.bit) {
            names += (names.empty() ? "" : ",") + std::string(row.name);
            unnamed &= ~row.bit;
        }
    }
    if (unnamed != 0) names += (names.empty() ? "" : ",") + Hex32(unnamed);
    return names;
}

// ---------------------------------------------------------------------------------------------
// Building

std::string StoredName(const std::string& fileName, std::string* reason) {
    std::string stored = fileName + kSuffix;
    for (unsigned char c : fileName) {
        if (c >= 0x80) {
            // The program takes names in the Windows ANSI code page; this folder's bytes would
            // mean other characters there.
            *reason = "name is not plain ASCII";
            return "";
        }
    }
    if (stored.size() >= kNameSize) {
        *reason = "name too long (" + std::to_string(stored.size()) + " characters with \".gz\"; at most " +
                  std::to_string(kNameSize - 1) + ")";
        return "";
    }
    EntryNameProblem problem = CheckEntryName(stored.c_str());
    if (problem != EntryNameProblem::None) {
        *reason = EntryNameProblemText(problem);
        return "";
    }
    return stored;
}

namespace {

struct SourceFile {
    fs::path path;
    std::string stored;
};

// Lists the folder's files with their stored names, in package order.
bool CollectSources(const std::string& folder, std::vector<SourceFile>* sources, Problems* problems) {
    size_t before = problems->size();
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        problems->push_back(folder + ": not a folder");
        return false;
    }
    fs::directory_iterator it(folder, ec);
    if (ec) {
        problems->push_back(folder + ": cannot be listed (" + ec.message() + ")");
        return false;
    }
    for (const fs::directory_entry& item : it) {
        std::string shown = (fs::path(folder) / item.path().filename()).string();
        if (!item.is_regular_file(ec)) {
            problems->push_back(shown + ": not a file; the package holds files only");
            continue;
        }
        std::string reason;
        std::string stored = StoredName(item.path().filename().string(), &reason);
        if (stored.empty()) {
            problems->push_back(shown + ": " + reason);
            continue;
        }
        sources->push_back({item.path(), stored});
    }
    std::sort(sources->begin(), sources->end(), [](const SourceFile& a, const SourceFile& b) {
        std::string la = Lower(a.stored), lb = Lower(b.stored);
        return la != lb ? la < lb : a.stored < b.stored;
    });
    for (size_t i = 1; i < sources->size(); ++i) {
        if (Lower((*sources)[i - 1].stored) == Lower((*sources)[i].stored)) {
            problems->push_back(folder + ": \"" + (*sources)[i - 1].path.filename().string() + "\" and \"" +
                                (*sources)[i].path.filename().string() +
                                "\" differ only in case; Windows keeps one of them");
        }
    }
    if (sources->empty() && problems->size() == before) problems->push_back(folder + ": holds no files");
    return problems->size() == before;
}

// Compresses the file into one gzip member appended to out. Its stored size, or a problem.
bool AppendMember(const SourceFile& source, uint64_t maxSize, std::ofstream& out, uint64_t* storedSize,
                  Problems* problems) {
    std::ifstream in(source.path, std::ios::binary);
    if (!in) {
        problems->push_back(source.path.string() + ": cannot be opened");
        return false;
    }
    z_stream z{};
    // Window 15 with 16 for the gzip wrapper; memory level 8: fixed, so that the bytes repeat.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        problems->push_back(source.path.string() + ": zlib cannot start");
        return false;
    }
    gz_header header{};
    header.time = 0;
    header.os = kGzipOsCode;
    deflateSetHeader(&z, &header);
    std::vector<char> input(kChunk);
    std::vector<char> output(kChunk);
    uint64_t written = 0;
    bool ok = true;
    int flush = Z_NO_FLUSH;
    while (ok && flush != Z_FINISH) {
        in.read(input.data(), static_cast<std::streamsize>(input.size()));
        if (in.bad()) {
            problems->push_back(source.path.string() + ": cannot be read");
            ok = false;
            break;
        }
        flush = in.eof() ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = reinterpret_cast<Bytef*>(input.data());
        z.avail_in = static_cast<uInt>(in.gcount());
        do {
            z.next_out = reinterpret_cast<Bytef*>(output.data());
            z.avail_out = static_cast<uInt>(output.size());
            deflate(&z, flush);
            size_t produced = output.size() - z.avail_out;
            written += produced;
            if (written > maxSize) {
                problems->push_back(source.path.string() + ": too big for the package's 32-bit size field (more than " +
                                    std::to_string(maxSize) + " bytes compressed)");
                ok = false;
                break;
            }
            out.write(output.data(), static_cast<std::streamsize>(produced));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    *storedSize = written;
    return ok;
}

}  // namespace

bool BuildPackage(const BuildRequest& request, Problems* problems) {
    size_t before = problems->size();
    // The program, whole: programs are a few hundred kilobytes.
    std::ifstream programIn(request.program, std::ios::binary);
    if (!programIn) {
        problems->push_back(request.program + ": cannot be opened");
        return false;
    }
    std::vector<char> program((std::istreambuf_iterator<char>(programIn)), std::istreambuf_iterator<char>());
    if (programIn.bad()) {
        problems->push_back(request.program + ": cannot be read");
        return false;
    }
    if (program.size() < kMinimumProgramSize) {
        problems->push_back(request.program + ": too short for a program file (" + std::to_string(program.size()) +
                            " bytes; at least " + std::to_string(kMinimumProgramSize) + ")");
        return false;
    }
    if (program.size() > 0xFFFFFFFFull - kHeaderSize) {
        problems->push_back(request.program + ": too big; the package offset is a 32-bit value");
        return false;
    }
    auto* bytes = reinterpret_cast<unsigned char*>(program.data());
    uint32_t existing = LoadU32(bytes + kOffsetPosition);
    if (existing != 0) {
        bool packed = existing + 4ull <= program.size() && std::memcmp(bytes + existing, kMagic, 4) == 0;
        problems->push_back(request.program + (packed ? ": already carries a package (at offset " + std::to_string(existing) +
                                                            "); pack the program file as built"
                                                      : ": bytes 40-43 are not zero (" + Hex32(existing) +
                                                            "); the package offset cannot be written there"));
        return false;
    }
    // A signature covers the file as it was signed: the package would sit between the image and
    // the certificate table, outside the digest. Signing comes after packing.
    SignedLayout layout;
    if (ReadSignedLayout(bytes, std::min<size_t>(program.size(), kSignedLayoutHeadSize), program.size(), &layout) !=
        SignatureCheck::Unsigned) {
        problems->push_back(request.program + ": is signed already; pack the program file as built, then sign the packed file");
        return false;
    }
    std::vector<SourceFile> sources;
    if (!CollectSources(request.from, &sources, problems)) return false;

    // Written beside the output and renamed at the end, so that a failed build leaves nothing.
    fs::path partial = request.output + ".partial";
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) {
        problems->push_back(partial.string() + ": cannot be created");
        return false;
    }
    StoreU32(bytes + kOffsetPosition, static_cast<uint32_t>(program.size()));
    out.write(program.data(), static_cast<std::streamsize>(program.size()));
    unsigned char header[kHeaderSize];
    std::memcpy(header, kMagic, 4);
    StoreU32(header + 4, request.options);
    StoreU32(header + 8, static_cast<uint32_t>(sources.size()));
    out.write(reinterpret_cast<char*>(header), sizeof header);
    bool ok = true;
    for (const SourceFile& source : sources) {
        unsigned char head[kHeadSize] = {};
        std::memcpy(head, source.stored.data(), source.stored.size());
        std::streamoff headAt = out.tellp();
        out.write(reinterpret_cast<char*>(head), sizeof head);
        uint64_t storedSize = 0;
        if (!AppendMember(source, request.maxEntrySize, out, &storedSize, problems)) {
            ok = false;
            break;
        }
        std::streamoff end = out.tellp();
        StoreU32(head + kNameSize, static_cast<uint32_t>(storedSize));
        out.seekp(headAt + kNameSize);
        out.write(reinterpret_cast<char*>(head + kNameSize), 4);
        out.seekp(end);
    }
    out.close();
    if (ok && !out) {
        problems->push_back(partial.string() + ": cannot be written");
        ok = false;
    }
    std::error_code ec;
    if (ok) {
        // The packed program may be run wherever the program could (Wine on a Linux host).
        fs::permissions(partial, fs::status(request.program, ec).permissions(), ec);
        fs::rename(partial, request.output, ec);
        if (ec) {
            problems->push_back(request.output + ": cannot be written (" + ec.message() + ")");
            ok = false;
        }
    }
    if (!ok) fs::remove(partial, ec);
    return ok && problems->size() == before;
}

// ---------------------------------------------------------------------------------------------
// Reading

bool ReadPackage(const std::string& file, PackageInfo* info, Problems* problems) {
    *info = PackageInfo{};
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    uint64_t size = fs::is_regular_file(file, ec) ? fs::file_size(file, ec) : 0;
    if (!in || ec) {
        problems->push_back(file + ": cannot be opened");
        return false;
    }
    info->fileSize = size;
    unsigned char field[4];
    if (size < kOffsetPosition + 4 || !ReadAt(in, kOffsetPosition, reinterpret_cast<char*>(field), 4)) {
        problems->push_back(file + ": too short to hold a package offset");
        return false;
    }
    info->offset = LoadU32(field);

    // The marker lies in the program's image, in front of the package.
    uint64_t imageSize = info->offset != 0 && info->offset <= size ? info->offset : size;
    std::string image(static_cast<size_t>(imageSize), '\0');
    if (ReadAt(in, 0, image.data(), image.size())) {
        for (const auto& [variant, marker] : kProgramMarkers) {
            if (image.find(std::string(marker) + '\0') != std::string::npos) {
                info->variant = info->variant.empty() ? variant : "ambiguous";
            }
        }
    }

    if (info->offset == 0) {
        problems->push_back(file + ": no package (the offset at byte 40 is 0)");
        return false;
    }
    unsigned char header[kHeaderSize];
    if (info->offset + uint64_t{4} > size || !ReadAt(in, info->offset, reinterpret_cast<char*>(header), 4) ||
        std::memcmp(header, kMagic, 4) != 0) {
        problems->push_back(file + ": no package at offset " + std::to_string(info->offset) + " (no \"LPCK\" there)");
        return false;
    }
    info->hasPackage = true;
    if (info->offset + uint64_t{kHeaderSize} > size ||
        !ReadAt(in, info->offset, reinterpret_cast<char*>(header), kHeaderSize)) {
        problems->push_back(file + ": package header cut short");
        return true;
    }
    info->defaultOptions = LoadU32(header + 4);
    info->entryCount = static_cast<int32_t>(LoadU32(header + 8));
    if (info->entryCount < 0) {
        problems->push_back(file + ": entry count is negative (" + std::to_string(info->entryCount) + ")");
        return true;
    }
    uint64_t position = info->offset + uint64_t{kHeaderSize};
    for (int32_t i = 0; i < info->entryCount; ++i) {
        unsigned char head[kHeadSize];
        if (position + kHeadSize > size || !ReadAt(in, position, reinterpret_cast<char*>(head), kHeadSize)) {
            problems->push_back(file + ": entry " + std::to_string(i + 1) + " of " + std::to_string(info->entryCount) +
                                ": head cut short at offset " + std::to_string(position));
            break;
        }
        EntryInfo entry;
        const char* nameField = reinterpret_cast<const char*>(head);
        entry.name.assign(nameField, strnlen(nameField, kNameSize));
        entry.headOffset = position;
        entry.storedSize = static_cast<int32_t>(LoadU32(head + kNameSize));
        EntryNameProblem problem = CheckEntryNameField(nameField, kNameSize);
        if (problem != EntryNameProblem::None) {
            problems->push_back(file + ": " + EntryLabel(i, entry.name) + ": " + EntryNameProblemText(problem));
        }
        if (entry.storedSize < 0) {
            problems->push_back(file + ": " + EntryLabel(i, entry.name) + ": size is negative (" +
                                std::to_string(entry.storedSize) + ")");
            info->entries.push_back(entry);
            break;
        }
        uint64_t dataEnd = position + kHeadSize + static_cast<uint64_t>(entry.storedSize);
        entry.complete = dataEnd <= size;
        info->entries.push_back(entry);
        if (!entry.complete) {
            problems->push_back(file + ": " + EntryLabel(i, entry.name) + ": data cut short (size " +
                                std::to_string(entry.storedSize) + ", " + std::to_string(size - position - kHeadSize) +
                                " bytes left in the file)");
            break;
        }
        position = dataEnd;
    }
    info->endOfEntries = position;
    return true;
}

void CheckMembers(const std::string& file, PackageInfo* info, Problems* problems) {
    std::ifstream in(file, std::ios::binary);
    for (size_t i = 0; i < info->entries.size(); ++i) {
        EntryInfo& e = info->entries[i];
        if (!e.complete) continue;
        Inflated inflated;
        Sha256 sha;
        std::string reason = InflateMember(in, e.headOffset + kHeadSize, static_cast<uint64_t>(e.storedSize),
                                           [&](const char* data, size_t size) {
                                               sha.Add(data, size);
                                               return true;
                                           },
                                           &inflated);
        if (reason.empty() && inflated.trailing != 0) {
            reason = std::to_string(inflated.trailing) + " bytes behind the gzip member";
        }
        if (!reason.empty()) {
            problems->push_back(file + ": " + EntryLabel(i, e.name) + ": " + reason);
            continue;
        }
        e.checked = true;
        e.unpackedSize = inflated.unpacked;
        e.crc = inflated.crc;
        e.sha256 = sha.Hex();
    }
}

namespace {

bool ReadStreamAt(void* file, uint64_t offset, void* buffer, uint32_t size) {
    return ReadAt(*static_cast<std::ifstream*>(file), offset, static_cast<char*>(buffer), size);
}

}  // namespace

void CheckSignature(const std::string& file, PackageInfo* info, Problems* problems) {
    std::ifstream in(file, std::ios::binary);
    SignatureReport report;
    info->signature = CheckFileSignature(ReadStreamAt, &in, info->fileSize, &report);
    info->signedLayout = report.layout;
    if (info->signature == SignatureCheck::Good) info->signatureDigest = report.expected.name;
    if (info->signature == SignatureCheck::Unsigned || info->signature == SignatureCheck::Good) return;
    std::string line = file + ": " + SignatureCheckText(info->signature);
    if (info->signature == SignatureCheck::BadTable) {
        line += " (directory: offset " + std::to_string(report.layout.tableOffset) + ", size " +
                std::to_string(report.layout.tableSize) + "; file size " + std::to_string(info->fileSize) + ")";
    } else if (info->signature == SignatureCheck::Changed) {
        line += " (" + std::string(report.expected.name) + " of the file " + HexBytes(report.found, report.expected.size) +
                ", of the signature " + HexBytes(report.expected.value, report.expected.size) + ")";
    }
    problems->push_back(line);
}

std::string FormatListing(const std::string& file, const PackageInfo& info, bool sha256) {
    std::ostringstream out;
    out << file << "\n";
    out << "  package offset   " << Hex32(info.offset) << " (" << info.offset << ")\n";
    std::string names = OptionNames(info.defaultOptions);
    out << "  default options  " << Hex32(info.defaultOptions) << (names.empty() ? "" : " " + names) << "\n";
    out << "  entries          " << info.entryCount << "\n";
    if (!info.variant.empty()) out << "  program marker   " << info.variant << "\n";
    if (info.signature != SignatureCheck::Unsigned) {
        out << "  signature        "
            << (info.signature == SignatureCheck::Good ? "Authenticode, " + info.signatureDigest + " digest matches"
                                                       : std::string(SignatureCheckText(info.signature)))
            << "\n";
    }
    if (info.entries.empty()) return out.str();

    std::vector<std::array<std::string, 5>> rows = {{"name", "stored", "unpacked", "crc32", sha256 ? "sha256" : ""}};
    for (const EntryInfo& e : info.entries) {
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", e.crc);
        rows.push_back({Printable(e.name), std::to_string(e.storedSize), e.checked ? std::to_string(e.unpackedSize) : "-",
                        e.checked ? crc : "-", !sha256 ? "" : e.checked ? e.sha256 : "-"});
    }
    const size_t columns = sha256 ? 5 : 4;
    std::array<size_t, 5> width{};
    for (const auto& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    }
    out << "\n";
    for (const auto& row : rows) {
        out << "  " << row[0] << std::string(width[0] - row[0].size(), ' ');
        for (size_t c = 1; c < columns; ++c) {
            out << "  " << std::string(width[c] - row[c].size(), ' ') << row[c];
        }
        out << "\n";
    }
    return out.str();
}

bool ExtractPackage(const std::string& file, const std::string& folder, Problems* problems) {
    PackageInfo info;
    if (!CheckForExtraction(file, &info, problems)) return false;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) {
        problems->push_back(folder + ": cannot be made");
        return false;
    }
    std::ifstream in(file, std::ios::binary);
    for (size_t i = 0; i < info.entries.size(); ++i) {
        const EntryInfo& e = info.entries[i];
        // The name passed the program's check: no folder, drive or device can be reached by it.
        fs::path target = fs::path(folder) / e.name.substr(0, e.name.size() - 3);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        if (!out) {
            problems->push_back(target.string() + ": cannot be created");
            return false;
        }
        Inflated inflated;
        std::string reason = InflateMember(in, e.headOffset + kHeadSize, static_cast<uint64_t>(e.storedSize),
                                           [&](const char* data, size_t size) {
                                               out.write(data, static_cast<std::streamsize>(size));
                                               return static_cast<bool>(out);
                                           },
                                           &inflated);
        out.close();
        if (reason.empty() && !out) reason = "output cannot be written";
        if (!reason.empty()) {
            problems->push_back(target.string() + ": " + reason);
            fs::remove(target, ec);
            return false;
        }
    }
    return true;
}

std::vector<std::string> RequiredEntries(const std::string& variant) {
    std::vector<std::string> names = {
        "AddMem.sys",      "SWinFlash_32.exe", "SWinFlash_64.exe", "PhlashNT_32.sys", "PhlashNT_64.sys",
        "PhlashLc_32.dll", "PhlashLc_64.dll",  "PHLASH_32.INI",    "PHLASH_64.INI",   "WinUpV01_10.exe",
    };
    const char* languages[] = {"Chs", "Cht", "En", "Fr", "Gr", "Kr", "Po", "Ru", "Sp"};
    for (const char* code : languages) names.push_back(std::string("ConRes") + code + ".dll");
    if (variant == "romshell") {
        for (const char* code : languages) names.push_back(std::string("ConRes") + code + "_ami.dll");
        for (const char* tool : {"AFUWIN.exe", "afuwinx64.exe", "amifldrv.vxd", "amifldrv32.sys", "amifldrv64.sys"}) {
            names.push_back(tool);
        }
    }
    for (std::string& name : names) name += kSuffix;
    return names;
}

namespace {


// The program loads string 16 (the confirmation) into 512 bytes, every other one into 256.
size_t BufferOf(uint32_t id) { return id == 16 ? 512 : 256; }

// The dialogs the program opens from the library and the control ids it addresses.
struct DialogControls {
    uint16_t id;
    std::vector<int32_t> controls;
};
const DialogControls kDialogControls[] = {
    {117, {1012, 1008, 1014, 1009, 1015, 1010, 1011, 1013, 17, 1017, 1018, 1019}},  // progress window
    {116, {1, 2, 1017, 1018, 1019}},                                                 // DMI settings
};

// The ANSI code page of the systems that load a library of the language code.
uint32_t CodePageOfLanguage(const std::string& code) {
    if (code == "Ru") return 1251;
    if (code == "Cht") return 950;
    if (code == "Chs") return 936;
    if (code == "Kr") return 949;
    return 1252;
}

// The most bytes a UTF-16 text takes in an ANSI code page: one per unit in the single-byte pages,
// two per non-ASCII unit in the double-byte ones (a character the page lacks becomes one "?").
size_t AnsiBytesAtMost(const std::u16string& text, uint32_t codePage) {
    const bool doubleByte = codePage == 950 || codePage == 936 || codePage == 949 || codePage == 932;
    size_t bytes = 0;
    for (char16_t c : text) bytes += (doubleByte && c >= 0x80) ? 2 : 1;
    return bytes;
}

// The characters of a text that an ANSI code page lacks: the system's own conversion on Windows,
// the emulated Windows' tables elsewhere.
std::u16string MissingInCodePage(const std::u16string& text, uint32_t codePage) {
#ifdef _WIN32
    std::u16string missing;
    for (char16_t c : text) {
        if (c < 0x80 || missing.find(c) != std::u16string::npos) continue;
        const wchar_t wide = static_cast<wchar_t>(c);
        char bytes[4];
        BOOL defaulted = FALSE;
        if (WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, &wide, 1, bytes, sizeof bytes, nullptr, &defaulted) == 0 ||
            defaulted) {
            missing += c;
        }
    }
    return missing;
#else
    return emu::MissingCharacters(text, codePage);
#endif
}

// The conversions FormatTableText expands, in order: "%s", "%d", "%ld" and "%%".
template <typename Char>
std::string Conversions(const std::basic_string<Char>& text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%') continue;
        const Char next = text[i + 1];
        std::string c;
        if (next == '%' || next == 's' || next == 'd') {
            c = std::string("%") + static_cast<char>(next);
        } else if (next == 'l' && i + 2 < text.size() && text[i + 2] == 'd') {
            c = "%ld";
        } else {
            continue;
        }
        i += c.size() - 1;
        out += (out.empty() ? "" : " ") + c;
    }
    return out;
}

// The language code of a library's entry name ("ConResCht_ami.dll.gz" -> "Cht"), or "".
std::string LanguageOfLibrary(const std::string& entryName) {
    const std::string lower = Lower(entryName);
    if (lower.rfind("conres", 0) != 0 || !EndsWith(lower, ".dll.gz")) return "";
    std::string code = entryName.substr(6, entryName.size() - 6 - 7);
    if (EndsWith(Lower(code), "_ami")) code.resize(code.size() - 4);
    return code;
}

}  // namespace

void CheckLibrary(const std::string& where, const std::string& language, const std::vector<uint8_t>& bytes,
                  Problems* problems) {
    pe::Image image;
    std::string error;
    if (!pe::ParseImage(bytes, &image, &error)) {
        problems->push_back(where + ": not a resource library (" + error + ")");
        return;
    }
    const uint32_t codePage = CodePageOfLanguage(language);
    for (const EnglishString& english : kEnglishStrings) {
        const std::string id = "string " + std::to_string(english.id);
        std::u16string text;
        if (!pe::LoadString(image, english.id, &text)) {
            problems->push_back(where + ": " + id + " is missing");
            continue;
        }
        const std::string wanted = Conversions(std::string(english.text));
        const std::string found = Conversions(text);
        if (found != wanted) {
            problems->push_back(where + ": " + id + " changes the conversions (English \"" + wanted + "\", here \"" +
                                found + "\")");
        }
        const std::u16string missing = MissingInCodePage(text, codePage);
        if (!missing.empty()) {
            std::string list;
            for (char16_t c : missing) {
                char code[16];
                std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
                list += (list.empty() ? "" : " ") + std::string(code);
            }
            problems->push_back(where + ": " + id + " has characters that code page " + std::to_string(codePage) +
                                " lacks (" + list + "); Windows would show them as other characters or \"?\"");
        }
        const size_t bytesAtMost = AnsiBytesAtMost(text, codePage);
        if (bytesAtMost > BufferOf(english.id) - 1) {
            problems->push_back(where + ": " + id + " may take " + std::to_string(bytesAtMost) + " bytes in code page " +
                                std::to_string(codePage) + ", its buffer holds " +
                                std::to_string(BufferOf(english.id) - 1));
        }
    }
    for (const DialogControls& wanted : kDialogControls) {
        const std::string id = "dialog " + std::to_string(wanted.id);
        std::vector<uint8_t> data;
        pe::DialogTemplate dialog;
        if (!pe::ReadResource(image, pe::kTypeDialog, wanted.id, &data)) {
            problems->push_back(where + ": " + id + " is missing");
            continue;
        }
        if (!pe::ParseDialog(data, &dialog, &error)) {
            problems->push_back(where + ": " + id + " does not hold together (" + error + ")");
            continue;
        }
        for (int32_t control : wanted.controls) {
            bool found = std::any_of(dialog.controls.begin(), dialog.controls.end(),
                                     [&](const pe::DialogControl& c) { return c.id == control; });
            if (!found) problems->push_back(where + ": " + id + " has no control " + std::to_string(control));
        }
    }
}

namespace {

enum class FileKind { Program, Library, Driver };

const char* KindText(FileKind kind) {
    switch (kind) {
        case FileKind::Program: return "program";
        case FileKind::Library: return "library";
        case FileKind::Driver: return "driver";
    }
    return "?";
}

const char* MachineText(uint16_t machine) {
    return machine == pe::kMachineI386 ? "i386" : machine == pe::kMachineAmd64 ? "x64" : "another processor";
}

// The programs, libraries and drivers a package carries, by name: what Windows must load each
// one as. Names not listed are checked for the kind their ending says, on any processor.
struct WindowsFileRule {
    const char* name;
    FileKind kind;
    uint16_t machine;
};
constexpr WindowsFileRule kWindowsFiles[] = {
    {"AddMem.sys", FileKind::Driver, pe::kMachineI386},
    {"AddMem64.sys", FileKind::Driver, pe::kMachineAmd64},
    {"SWinFlash_32.exe", FileKind::Program, pe::kMachineI386},
    {"SWinFlash_64.exe", FileKind::Program, pe::kMachineAmd64},
    {"PhlashLc_32.dll", FileKind::Library, pe::kMachineI386},
    {"PhlashLc_64.dll", FileKind::Library, pe::kMachineAmd64},
    {"PhlashNT_32.sys", FileKind::Driver, pe::kMachineI386},
    {"PhlashNT_64.sys", FileKind::Driver, pe::kMachineAmd64},
    {"AFUWIN.exe", FileKind::Program, pe::kMachineI386},
    {"afuwinx64.exe", FileKind::Program, pe::kMachineAmd64},
    {"amifldrv32.sys", FileKind::Driver, pe::kMachineI386},
    {"amifldrv64.sys", FileKind::Driver, pe::kMachineAmd64},
    {"WinUpV01_10.exe", FileKind::Program, pe::kMachineI386},
};
constexpr struct {
    const char* ending;
    FileKind kind;
} kWindowsFileEndings[] = {{".exe", FileKind::Program}, {".dll", FileKind::Library}, {".sys", FileKind::Driver}};

constexpr uint16_t kSubsystemNative = 1;

// The rule for a file name, or false when the name is no program, library or driver.
bool RuleOf(const std::string& fileName, WindowsFileRule* rule) {
    const std::string lower = Lower(fileName);
    for (const WindowsFileRule& row : kWindowsFiles) {
        if (Lower(row.name) == lower) {
            *rule = row;
            return true;
        }
    }
    // The language libraries are loaded by the program itself, a 32-bit process.
    if (!LanguageOfLibrary(fileName + kSuffix).empty()) {
        *rule = {nullptr, FileKind::Library, pe::kMachineI386};
        return true;
    }
    for (const auto& row : kWindowsFileEndings) {
        if (EndsWith(lower, row.ending)) {
            *rule = {nullptr, row.kind, 0};
            return true;
        }
    }
    return false;
}

}  // namespace

std::string CheckWindowsFile(const std::string& fileName, const std::vector<uint8_t>& bytes) {
    WindowsFileRule rule{};
    if (!RuleOf(fileName, &rule)) return "";
    pe::Image image;
    std::string error;
    if (!pe::ParseImage(bytes, &image, &error)) return "not a Windows file (" + error + ")";
    FileKind kind = FileKind::Program;
    if (image.subsystem == kSubsystemNative) {
        kind = FileKind::Driver;
    } else if (image.characteristics & pe::kCharacteristicDll) {
        kind = FileKind::Library;
    } else if (image.subsystem != pe::kSubsystemGui && image.subsystem != pe::kSubsystemConsole) {
        return "a Windows file of subsystem " + std::to_string(image.subsystem) + ", not a " + KindText(rule.kind);
    }
    const bool machineWrong = rule.machine != 0 && image.machine != rule.machine;
    if (kind == rule.kind && !machineWrong) return "";
    return std::string("is a ") + KindText(kind) + " for " + MachineText(image.machine) + "; its name says a " +
           KindText(rule.kind) + (rule.machine != 0 ? std::string(" for ") + MachineText(rule.machine) : std::string());
}

bool VerifyPackage(const std::string& file, const std::optional<std::string>& variant, Problems* problems,
                   std::string* summary, Problems* warnings, bool forTests) {
    size_t before = problems->size();
    PackageInfo info;
    CheckForExtraction(file, &info, problems);
    if (!info.hasPackage) return false;
    CheckSignature(file, &info, problems);
    std::ifstream in(file, std::ios::binary);

    std::string checkedAs;
    if (variant) {
        checkedAs = *variant;
    } else if (info.variant == "romshell" || info.variant == "romshell-phx") {
        checkedAs = info.variant;
    } else {
        problems->push_back(file + (info.variant.empty() ? ": carries no unpacker marker"
                                                         : ": carries the markers of both programs") +
                            "; name the variant with --variant");
    }
    // Behind the last entry: nothing, or the certificate table of a signature, after the zero
    // bytes that align it to 8 (the signing tool adds them, and the digest covers them).
    bool complete = std::all_of(info.entries.begin(), info.entries.end(), [](const EntryInfo& e) { return e.complete; });
    const bool tablePlaced = info.signedLayout.tableOffset != 0 && info.signature != SignatureCheck::BadTable &&
                             info.signature != SignatureCheck::ReadFailed;
    const uint64_t end = tablePlaced ? info.signedLayout.tableOffset : info.fileSize;
    if (complete && info.entryCount >= 0 && static_cast<size_t>(info.entryCount) == info.entries.size()) {
        if (info.endOfEntries > end) {
            problems->push_back(file + ": the last entry runs into the certificate table");
        } else if (info.endOfEntries < end) {
            const uint64_t gap = end - info.endOfEntries;
            char padding[8] = {};
            const bool alignment = tablePlaced && gap < sizeof padding &&
                                   ReadAt(in, info.endOfEntries, padding, static_cast<size_t>(gap)) &&
                                   std::all_of(padding, padding + gap, [](char c) { return c == 0; });
            if (!alignment) {
                problems->push_back(file + ": " + std::to_string(gap) + " bytes behind the last entry" +
                                    (tablePlaced ? " before the certificate table" : ""));
            }
        }
    }

    std::vector<std::string> images;
    std::map<std::string, bool> present;
    for (const EntryInfo& e : info.entries) {
        present[Lower(e.name)] = true;
        if (EndsWith(Lower(e.name), ".wph.gz")) images.push_back(e.name);
    }
    if (!checkedAs.empty()) {
        for (const std::string& name : RequiredEntries(checkedAs)) {
            if (!present.count(Lower(name))) {
                problems->push_back(file + ": missing entry \"" + name + "\" (needed by " + checkedAs + ")");
            }
        }
    }
    // Every program, library and driver unpacked and read as Windows would load it; the language
    // libraries also as the program reads them. The test bench's access driver answers from an
    // emulated notebook, not from the hardware: a package with it is for the tests only.
    Problems* standIns = forTests && warnings != nullptr ? warnings : problems;
    for (const EntryInfo& e : info.entries) {
        if (!e.complete || e.name.size() <= 3 || !EndsWith(e.name, kSuffix)) continue;
        const std::string fileName = e.name.substr(0, e.name.size() - 3);
        const std::string language = LanguageOfLibrary(e.name);
        WindowsFileRule rule{};
        if (!RuleOf(fileName, &rule)) continue;
        std::vector<uint8_t> bytes;
        Inflated inflated;
        std::string reason = InflateMember(in, e.headOffset + kHeadSize, static_cast<uint64_t>(e.storedSize),
                                           [&](const char* data, size_t size) {
                                               bytes.insert(bytes.end(), data, data + size);
                                               return true;
                                           },
                                           &inflated);
        // A member that does not decompress is reported by the member check already.
        if (!reason.empty()) continue;
        const std::string where = file + ": " + Printable(fileName);
        const std::string_view marker = ROMSHELL_BENCH_DRIVER_MARKER;
        // Under either driver name (or any other): the bench builds both processors' drivers.
        if (std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end()) != bytes.end()) {
            standIns->push_back(where + " is the test bench's driver (it forwards to notebook-emu): never release this package");
            continue;
        }
        const std::string wrong = CheckWindowsFile(fileName, bytes);
        if (!wrong.empty()) {
            standIns->push_back(where + ": " + wrong);
            continue;
        }
        if (!language.empty()) CheckLibrary(where, language, bytes, problems);
    }

    if (images.size() != 1) {
        std::string list;
        for (const std::string& name : images) list += (list.empty() ? ": " : ", ") + Printable(name);
        problems->push_back(file + ": " + std::to_string(images.size()) + " BIOS images (\"*.wph\")" + list +
                            "; exactly one is needed");
    }
    *summary = file + ": " + (checkedAs.empty() ? std::string("package") : checkedAs + " package") + ", " +
               std::to_string(info.entries.size()) + " entries, default options " + Hex32(info.defaultOptions);
    std::string names = OptionNames(info.defaultOptions);
    if (!names.empty()) *summary += " (" + names + ")";
    *summary += info.signature == SignatureCheck::Good ? ", signed (" + info.signatureDigest + " digest matches)"
                                                       : std::string(", not signed");
    return problems->size() == before;
}

}  // namespace pack
