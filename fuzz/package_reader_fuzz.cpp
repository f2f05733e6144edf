// libFuzzer target: arbitrary bytes as the program file, read by the package reader on an
// emulated notebook.
//
// Each input becomes the program file; the reader extracts every entry, then looks up single
// entries, into the extraction folder. Besides the sanitizers' findings, the target fails when
// anything on drive C: changed outside the extraction folder, when a folder appeared inside it,
// or when the reader reported success for a package it could not have read completely.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "core/context.h"
#include "emu/profile.h"
#include "emu/world.h"
#include "fuzz/fuzz_world.h"
#include "os/os.h"
#include "package/package.h"

namespace fs = std::filesystem;

namespace {

constexpr const char kProgram[] = "C:\\Users\\tech\\Desktop\\romshell.exe";
constexpr const char kExtraction[] = "C:\\Users\\tech\\AppData\\Local\\Temp\\__Korvane_Update";

fs::path gDrive;       // host folder of drive C:
fs::path gExtraction;  // host folder of the extraction folder
fs::path gProgram;     // host file of the program
std::map<std::string, std::string> gBaseline;  // every file outside the extraction folder: contents

[[noreturn]] void Fail(const std::string& what) { fuzz::Fail("package_reader_fuzz", what); }

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Files and folders of the drive outside the extraction folder, the program file left out.
std::map<std::string, std::string> OutsideExtraction() {
    std::map<std::string, std::string> found;
    for (auto it = fs::recursive_directory_iterator(gDrive); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path() == gExtraction) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->path() == gProgram) continue;
        std::string key = fs::relative(it->path(), gDrive).generic_string();
        found[key] = it->is_directory() ? std::string("<folder>") : Contents(it->path());
    }
    return found;
}

void EmptyExtractionFolder() {
    for (const auto& item : fs::directory_iterator(gExtraction)) fs::remove_all(item.path());
}

void CheckAfterRun(const char* step) {
    for (const auto& item : fs::directory_iterator(gExtraction)) {
        if (!item.is_regular_file()) Fail(std::string(step) + ": something other than a file appeared: " + item.path().string());
    }
    if (OutsideExtraction() != gBaseline) Fail(std::string(step) + ": the drive changed outside the extraction folder");
}

bool SetUpWorld() {
    if (!fuzz::MakeWorld("package_reader_fuzz", "default")) return false;
    if (!os::CreateDirectory(kExtraction) || !os::SetCurrentDirectory(kExtraction)) return false;
    gDrive = emu::HostPathOf("C:\\");
    gExtraction = emu::HostPathOf(kExtraction);
    gProgram = emu::HostPathOf(kProgram);
    std::ofstream(gProgram, std::ios::binary).put('M');
    gBaseline = OutsideExtraction();
    return true;
}

// The reader must not report success past the end of the file: every entry it accepted needs
// its 264-byte head and data within the file.
void CheckSuccessIsPossible(const uint8_t* data, size_t size, uint32_t offset, int result) {
    if (result != kUnpackSuccess) return;
    uint64_t position = offset + uint64_t{kPackageHeaderSize};
    if (position > size) Fail("success without a whole header");
    int32_t count = static_cast<int32_t>(data[offset + 8] | (data[offset + 9] << 8) | (data[offset + 10] << 16) |
                                         (static_cast<uint32_t>(data[offset + 11]) << 24));
    for (int32_t i = 0; i < count; ++i) {
        if (position + kEntryHeadSize > size) Fail("success with an entry head past the end");
        const uint8_t* s = data + position + kEntryNameSize;
        int32_t entrySize = static_cast<int32_t>(s[0] | (s[1] << 8) | (s[2] << 16) | (static_cast<uint32_t>(s[3]) << 24));
        if (entrySize < 0) Fail("success with a negative size");
        position += kEntryHeadSize + static_cast<uint64_t>(entrySize);
        if (position > size) Fail("success with entry data past the end");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!SetUpWorld()) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream program(gProgram, std::ios::binary | std::ios::trunc);
        program.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    if (!os::SetCurrentDirectory(kExtraction)) Fail("the extraction folder is gone");

    EmptyExtractionFolder();
    ResetUpdateContext();
    uint32_t offset = 0;
    if (ReadPackageOffset(kProgram, &offset) == kUnpackSuccess) {
        DecompressFailure failure;
        int result = TryExtractAllEntries(kProgram, offset, &failure);
        if (failure.failed && (result != kUnpackEntryFailed || failure.line[0] == '\0')) {
            Fail("a decompression failure without its result or its line");
        }
        CheckSuccessIsPossible(data, size, offset, result);
        CheckAfterRun("ExtractAllEntries");
    }

    // The single-entry lookup: the first entry, and a name taken from the input's last bytes.
    char wanted[8] = {};
    for (size_t i = 0; i < sizeof wanted - 1 && i < size; ++i) {
        char c = static_cast<char>(data[size - 1 - i]);
        wanted[i] = (c >= 0x20 && c < 0x7F) ? c : 'a';
    }
    for (const char* name : {"", static_cast<const char*>(wanted)}) {
        EmptyExtractionFolder();
        DecompressFailure failure;
        int found = TryExtractNamedEntry(kProgram, name, &failure);
        if (found != 0 && found != 1) Fail("ExtractNamedEntry returned neither 0 nor 1");
        if (found == 1 && failure.failed) Fail("ExtractNamedEntry found an entry it could not decompress");
        CheckAfterRun("ExtractNamedEntry");
    }
    return 0;
}
