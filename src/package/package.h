// The reader of the update package appended behind the program's own image (its format is in
// package/format.h).
#pragma once

#include <cstdint>

#include "package/format.h"
#include "package/signature.h"

// Results of the reader, with the texts of UnpackResultText.
enum UnpackResult : int {
    kUnpackSuccess = 0,
    kUnpackArchiveEmpty = 1,
    kUnpackBadPath = 2,
    kUnpackCannotCreateOutput = 3,
    kUnpackNotPacked = 4,
    kUnpackEntryFailed = 5,
    kUnpackCannotOpenInput = 6,
};
const char* UnpackResultText(int result);

// Reads the package offset at byte 40 of the program file. 0, or 6 when the file cannot be
// opened, or 4 when it is too short to hold the offset (the offset is then 0).
int ReadPackageOffset(const char* programPath, uint32_t* packageOffset);

// Checks the package's magic and loads its default options into the flag word. 0, 4 (no
// package there) or 6 (file cannot be opened).
int CheckPackage(const char* programPath, uint32_t packageOffset);

// Loads the package's default options into the run's flag word: replaces the word, or adds them to
// it when the command line was parsed first (Variant::parsesOptionsFirst), so that both programs
// end with the same word.
void ApplyPackageOptions(uint32_t defaultOptions);

// Extracts and decompresses every entry into the current directory. 0, 1 (no entries), 4 (no
// package) or 6 (file cannot be opened). A package that ends early, a failed read, an entry name
// that could leave the current directory (see entry_name.h) or a size that is negative or runs
// past the end of the file give 5; the files of earlier entries stay as they were.
// An entry that cannot be written or decompressed ends the process (see DecompressEntryFile).
int ExtractAllEntries(const char* programPath, uint32_t packageOffset);

// Extracts the running program's own package, whole, into the current directory. True when every
// entry was extracted.
bool ExtractOwnPackage();

// Extracts into the current directory the first entry whose name begins with wantedName (without
// regard to case), from the running program's own file. 1 when an entry was extracted, else 0;
// an entry refused as by ExtractAllEntries on the way ends the search with 0.
int ExtractNamedEntry(const char* wantedName);

// Turns "name.gz" in the current directory into "name" and deletes "name.gz" (a name without
// ".gz" is taken as the output, and the input is that name with ".gz"). Returns only on success:
// any failure writes one line to the standard error stream and ends the process with exit code 1.
void DecompressEntryFile(const char* fileName);

// Checks the Authenticode digest of the program file at programPath (see signature.h).
SignatureCheck CheckProgramSignature(const char* programPath, SignatureReport* report);

// ---------------------------------------------------------------------------------------------
// The same operations without the process-ending step, for callers that must go on (tests, the
// fuzz target). A failure that the functions above end the process for is reported here as the
// result kUnpackEntryFailed (0 for TryExtractNamedEntry) with failure->failed set and the line
// they would have written to the standard error stream.

constexpr uint32_t kDecompressLineSize = kEntryNameSize + 64;

struct DecompressFailure {
    bool failed = false;
    char line[kDecompressLineSize] = {};
};

int TryExtractAllEntries(const char* programPath, uint32_t packageOffset, DecompressFailure* failure);
// ExtractNamedEntry on the given program file instead of the running program's own.
int TryExtractNamedEntry(const char* programPath, const char* wantedName, DecompressFailure* failure);
// True on success.
bool TryDecompressEntryFile(const char* fileName, DecompressFailure* failure);
