#include "package/package.h"

#include "app/context.h"
#include "app/run_options.h"
#include "app/variant.h"
#include "base/bytes.h"
#include "os/os.h"

namespace {

constexpr const char* kUnpackResultTexts[] = {
    "Success",
    "Archive empty; no files to extract",
    "Error in supplied Path",
    "Could not create output archive file",
    "Not a valid packed file",
    "Failed while extracting one of the files",
    "Input archive file failed to open",
};

os::Handle OpenProgramFile(const char* programPath) {
    return os::CreateFile(programPath, os::kGenericRead, os::kShareRead, os::kOpenExisting,
                          os::kFileAttributeNormal);
}

// Reads exactly size bytes; false on a short read or a read error.
bool ReadExactly(os::Handle file, void* buffer, uint32_t size) {
    uint32_t done = 0;
    return os::ReadFile(file, buffer, size, &done) && done == size;
}

}  // namespace

const char* UnpackResultText(int result) {
    if (result < 0 || result >= static_cast<int>(sizeof kUnpackResultTexts / sizeof *kUnpackResultTexts)) {
        return "";
    }
    return kUnpackResultTexts[result];
}

void ApplyPackageOptions(uint32_t defaultOptions) {
    if constexpr (kPhxVariant) {
        // The command line was parsed before the package was read. "/READ_BIOS" makes the word
        // exactly ReadBios in romshell, where the package comes first; keep that here too.
        if (ctx.runOptions & ReadBios) return;
        ctx.runOptions |= defaultOptions;
    } else {
        ctx.runOptions = defaultOptions;
    }
}

int ReadPackageOffset(const char* programPath, uint32_t* packageOffset) {
    os::Handle file = OpenProgramFile(programPath);
    if (!os::IsValid(file)) return kUnpackCannotOpenInput;
    uint8_t head[64] = {};
    uint32_t done = 0;
    bool read = os::ReadFile(file, head, sizeof head, &done);
    os::CloseHandle(file);
    if (!read || done < kPackageOffsetPosition + 4) {
        *packageOffset = 0;
        return kUnpackNotPacked;
    }
    *packageOffset = LoadU32(head + kPackageOffsetPosition);
    return kUnpackSuccess;
}

int CheckPackage(const char* programPath, uint32_t packageOffset) {
    os::Handle file = OpenProgramFile(programPath);
    if (!os::IsValid(file)) return kUnpackCannotOpenInput;
    uint8_t field[4];
    bool packed = (packageOffset == 0 || os::SeekFile(file, packageOffset, os::SeekFrom::Begin)) &&
                  ReadExactly(file, field, 4) && LoadU32(field) == kPackageMagic &&
                  ReadExactly(file, field, 4);
    if (packed) ApplyPackageOptions(LoadU32(field));
    os::CloseHandle(file);
    return packed ? kUnpackSuccess : kUnpackNotPacked;
}
