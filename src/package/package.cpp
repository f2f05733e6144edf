#include "package/package.h"

#include "core/context.h"
#include "core/run_options.h"
#include "core/variant.h"
#include "base/bytes.h"
#include "base/text.h"
#include "os/os.h"
#include "package/entry_name.h"

#include <zlib.h>

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
    if (kVariant.parsesOptionsFirst) {
        // The command line was parsed before the package was read. Its "/READ_BIOS" still takes
        // the package's options until the point where the other order parses the command line
        // (the update sequence makes the word exactly ReadBios there): the power check and the
        // messages before the unpack must see what they see in that order.
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

// ---------------------------------------------------------------------------------------------
// Extraction

namespace {

constexpr uint32_t kCopyBufferSize = 4096;
constexpr uint32_t kGzipBufferSize = 16384;
constexpr uint32_t kModulePathSize = 1024;
// Host paths of the emulated world are longer than Windows paths; Windows paths pass unchanged.
constexpr size_t kHostPathSize = 4096;

// The program file being read, with the position the reader has reached and the file's size, so
// that every entry can be checked against what is left of the file before anything is written.
struct PackageFile {
    os::Handle file = nullptr;
    uint64_t size = 0;
    uint64_t position = 0;
};

struct EntryHead {
    char name[kEntryNameSize];
    int32_t size;
};

bool OpenPackageFile(const char* programPath, PackageFile* package) {
    package->file = OpenProgramFile(programPath);
    if (!os::IsValid(package->file)) return false;
    if (!os::GetFileSize(package->file, &package->size)) package->size = 0;
    package->position = 0;
    return true;
}

bool ReadPackage(PackageFile* package, void* buffer, uint32_t size) {
    if (!ReadExactly(package->file, buffer, size)) return false;
    package->position += size;
    return true;
}

bool SeekPackage(PackageFile* package, uint64_t position) {
    if (!os::SeekFile(package->file, static_cast<int64_t>(position), os::SeekFrom::Begin)) return false;
    package->position = position;
    return true;
}

uint64_t LeftInFile(const PackageFile& package) {
    return package.position < package.size ? package.size - package.position : 0;
}

// Reads the magic at the package's start. False when it is not "LPCK" (or cannot be read).
bool ReadMagic(PackageFile* package, uint32_t packageOffset) {
    if (packageOffset != 0 && !SeekPackage(package, packageOffset)) return false;
    uint8_t field[4];
    return ReadPackage(package, field, 4) && LoadU32(field) == kPackageMagic;
}

bool ReadField(PackageFile* package, uint32_t* value) {
    uint8_t field[4];
    if (!ReadPackage(package, field, 4)) return false;
    *value = LoadU32(field);
    return true;
}

// Reads the next entry head and refuses it when its name could leave the current directory or
// its data would run past the end of the file. Nothing has been written for the entry yet.
bool ReadEntryHead(PackageFile* package, EntryHead* head) {
    if (LeftInFile(*package) < kEntryHeadSize) return false;
    uint8_t raw[kEntryHeadSize];
    if (!ReadPackage(package, raw, kEntryHeadSize)) return false;
    for (uint32_t i = 0; i < kEntryNameSize; ++i) head->name[i] = static_cast<char>(raw[i]);
    head->size = static_cast<int32_t>(LoadU32(raw + kEntryNameSize));
    if (CheckEntryNameField(head->name, kEntryNameSize) != EntryNameProblem::None) return false;
    return head->size >= 0 && static_cast<uint64_t>(head->size) <= LeftInFile(*package);
}

// A name with room for ".gz" behind it.
constexpr size_t kNameBufferSize = kEntryNameSize + 4;

// The decompression's input and output names for fileName: "x.gz" gives "x.gz" and "x"; any
// other name "x" gives "x.gz" and "x". False when a name does not fit.
bool DecompressionNames(const char* fileName, char (&input)[kNameBufferSize], char (&output)[kNameBufferSize]) {
    if (!DecompressedEntryName(fileName, output, sizeof output) || !CopyText(input, fileName)) return false;
    bool hasSuffix = BoundedLength(output, sizeof output) != BoundedLength(input, sizeof input);
    return hasSuffix || AppendText(input, ".gz");
}

void SetFailure(DecompressFailure* failure, const char* format, const char* value) {
    failure->failed = true;
    FormatText(failure->line, sizeof failure->line, format, value);
}

// Copies the entry's data into the file of its stored name and decompresses it. kUnpackSuccess,
// kUnpackEntryFailed after a read failure (the partial output deleted) or with failure->failed
// set when the output cannot be written or decompressed.
int ExtractEntry(PackageFile* package, const EntryHead& head, DecompressFailure* failure) {
    os::Handle output = os::CreateFile(head.name, os::kGenericWrite, os::kShareRead, os::kCreateAlways,
                                       os::kFileAttributeNormal);
    if (!os::IsValid(output)) {
        // Without its compressed copy the entry cannot be decompressed; the decompression step
        // would fail on exactly this file.
        char input[kNameBufferSize];
        char unused[kNameBufferSize];
        SetFailure(failure, "can't gzopen %s",
                   DecompressionNames(head.name, input, unused) ? input : head.name);
        return kUnpackEntryFailed;
    }
    uint8_t buffer[kCopyBufferSize];
    uint32_t remaining = static_cast<uint32_t>(head.size);
    while (remaining > 0) {
        uint32_t chunk = remaining < kCopyBufferSize ? remaining : kCopyBufferSize;
        if (!ReadPackage(package, buffer, chunk)) {
            os::CloseHandle(output);
            os::DeleteFile(head.name);
            return kUnpackEntryFailed;
        }
        uint32_t written = 0;
        if (!os::WriteFile(output, buffer, chunk, &written) || written != chunk) {
            // A short compressed copy would be taken for the whole entry by the decompression.
            os::CloseHandle(output);
            os::DeleteFile(head.name);
            SetFailure(failure, "%s", "failed fwrite");
            return kUnpackEntryFailed;
        }
        remaining -= chunk;
    }
    if (!os::CloseHandle(output)) {
        os::DeleteFile(head.name);
        SetFailure(failure, "%s", "failed fclose");
        return kUnpackEntryFailed;
    }
    return TryDecompressEntryFile(head.name, failure) ? kUnpackSuccess : kUnpackEntryFailed;
}

[[noreturn]] void EndOnDecompressFailure(const DecompressFailure& failure) {
    os::WriteStandardError(failure.line);
    if (releaseBeforeAbruptEnd != nullptr) releaseBeforeAbruptEnd();
    os::ExitProcess(1);
}

}  // namespace

bool TryDecompressEntryFile(const char* fileName, DecompressFailure* failure) {
    char input[kNameBufferSize];
    char output[kNameBufferSize];
    bool named = DecompressionNames(fileName, input, output);
    char hostPath[kHostPathSize];
    gzFile in = nullptr;
    if (named && os::HostPath(input, hostPath, sizeof hostPath)) in = gzopen(hostPath, "rb");
    if (in == nullptr) {
        SetFailure(failure, "can't gzopen %s", named ? input : fileName);
        return false;
    }
    os::Handle out = os::CreateFile(output, os::kGenericWrite, os::kShareRead, os::kCreateAlways,
                                    os::kFileAttributeNormal);
    if (!os::IsValid(out)) {
        gzclose(in);
        SetFailure(failure, "can't create %s", output);
        return false;
    }
    uint8_t buffer[kGzipBufferSize];
    for (;;) {
        int got = gzread(in, buffer, sizeof buffer);
        if (got < 0) {
            int error = Z_OK;
            SetFailure(failure, "%s", gzerror(in, &error));
            os::CloseHandle(out);
            gzclose(in);
            return false;
        }
        if (got == 0) break;
        uint32_t written = 0;
        if (!os::WriteFile(out, buffer, static_cast<uint32_t>(got), &written) ||
            written != static_cast<uint32_t>(got)) {
            SetFailure(failure, "%s", "failed fwrite");
            os::CloseHandle(out);
            gzclose(in);
            return false;
        }
    }
    if (!os::CloseHandle(out)) {
        gzclose(in);
        SetFailure(failure, "%s", "failed fclose");
        return false;
    }
    if (gzclose(in) != Z_OK) {
        SetFailure(failure, "%s", "failed gzclose");
        return false;
    }
    os::DeleteFile(input);
    return true;
}

void DecompressEntryFile(const char* fileName) {
    DecompressFailure failure;
    if (!TryDecompressEntryFile(fileName, &failure)) EndOnDecompressFailure(failure);
}

int TryExtractAllEntries(const char* programPath, uint32_t packageOffset, DecompressFailure* failure) {
    PackageFile package;
    bool opened = OpenPackageFile(programPath, &package);
    // The word is loaded from the package and starts from nothing, unless the command line was
    // parsed first and its options are in it already.
    if (!kVariant.parsesOptionsFirst) ctx.runOptions = 0;
    if (!opened) return kUnpackCannotOpenInput;
    int result = kUnpackSuccess;
    uint32_t defaultOptions = 0;
    uint32_t entryCount = 0;
    if (!ReadMagic(&package, packageOffset)) {
        result = kUnpackNotPacked;
    } else if (!ReadField(&package, &defaultOptions)) {
        result = kUnpackEntryFailed;
    } else {
        ApplyPackageOptions(defaultOptions);
        if (!ReadField(&package, &entryCount)) {
            result = kUnpackEntryFailed;
        } else if (entryCount == 0) {
            result = kUnpackArchiveEmpty;
        }
    }
    // A negative count holds no entries.
    int32_t count = result == kUnpackSuccess ? static_cast<int32_t>(entryCount) : 0;
    for (int32_t i = 0; i < count && result == kUnpackSuccess; ++i) {
        EntryHead head;
        result = ReadEntryHead(&package, &head) ? ExtractEntry(&package, head, failure) : kUnpackEntryFailed;
    }
    os::CloseHandle(package.file);
    return result;
}

int ExtractAllEntries(const char* programPath, uint32_t packageOffset) {
    DecompressFailure failure;
    int result = TryExtractAllEntries(programPath, packageOffset, &failure);
    if (failure.failed) EndOnDecompressFailure(failure);
    return result;
}

int TryExtractNamedEntry(const char* programPath, const char* wantedName, DecompressFailure* failure) {
    uint32_t packageOffset = 0;
    if (ReadPackageOffset(programPath, &packageOffset) != kUnpackSuccess || packageOffset == 0) return 0;
    PackageFile package;
    if (!OpenPackageFile(programPath, &package)) return 0;
    uint32_t defaultOptions = 0;
    uint32_t entryCount = 0;
    int extracted = 0;
    if (ReadMagic(&package, packageOffset) && ReadField(&package, &defaultOptions) &&
        ReadField(&package, &entryCount)) {
        size_t wantedLength = BoundedLength(wantedName, kEntryNameSize);
        int32_t count = static_cast<int32_t>(entryCount);
        for (int32_t i = 0; i < count; ++i) {
            EntryHead head;
            if (!ReadEntryHead(&package, &head)) break;
            if (CompareIgnoreCaseN(head.name, wantedName, wantedLength) == 0) {
                extracted = ExtractEntry(&package, head, failure) == kUnpackSuccess ? 1 : 0;
                break;
            }
            if (!SeekPackage(&package, package.position + static_cast<uint32_t>(head.size))) break;
        }
    }
    os::CloseHandle(package.file);
    return extracted;
}

namespace {

bool ReadProgramAt(void* file, uint64_t offset, void* buffer, uint32_t size) {
    const os::Handle handle = static_cast<os::Handle>(file);
    return os::SeekFile(handle, static_cast<int64_t>(offset), os::SeekFrom::Begin) &&
           ReadExactly(handle, buffer, size);
}

}  // namespace

SignatureCheck CheckProgramSignature(const char* programPath, SignatureReport* report) {
    *report = SignatureReport{};
    os::Handle file = OpenProgramFile(programPath);
    uint64_t size = 0;
    if (!os::IsValid(file) || !os::GetFileSize(file, &size)) {
        if (os::IsValid(file)) os::CloseHandle(file);
        return report->check = SignatureCheck::ReadFailed;
    }
    const SignatureCheck check = CheckFileSignature(ReadProgramAt, file, size, report);
    os::CloseHandle(file);
    return check;
}

int ExtractNamedEntry(const char* wantedName) {
    char programPath[kModulePathSize];
    uint32_t length = os::GetModuleFileName(programPath, sizeof programPath);
    // A cut name would open some other file.
    if (length == 0 || length >= sizeof programPath) return 0;
    DecompressFailure failure;
    int extracted = TryExtractNamedEntry(programPath, wantedName, &failure);
    if (failure.failed) EndOnDecompressFailure(failure);
    return extracted;
}

bool ExtractOwnPackage() {
    char programPath[kPathSize];
    const uint32_t length = os::GetModuleFileName(programPath, sizeof programPath);
    // A name that filled the buffer was cut: it names no file of ours.
    if (length == 0 || length >= sizeof programPath) return false;
    uint32_t packageOffset = 0;
    if (ReadPackageOffset(programPath, &packageOffset) != kUnpackSuccess) return false;
    return ExtractAllEntries(programPath, packageOffset) == kUnpackSuccess;
}
