// romshell-pack's logic: building an update package behind a program file, and reading one back
// (list, extract, verify). The command-line face (main.cpp) only parses arguments and prints.
//
// Every operation reports what went wrong as lines naming the file and the reason, for the face
// to print; an operation that reports a problem has written nothing it would leave behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/signature.h"

namespace pack {

using Problems = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------
// Default options

// "8", "0x48", "MarkLastFlashBlock,ClearCmosOnUpdate" (names without regard to case; numbers and
// names may be mixed). False with a reason when an item is neither.
bool ParseOptions(const std::string& text, uint32_t* options, std::string* error);
// "MarkLastFlashBlock,ClearCmosOnUpdate"; bits without a name as one hex number; "" for 0.
std::string OptionNames(uint32_t options);

// ---------------------------------------------------------------------------------------------
// Building

struct BuildRequest {
    std::string program;     // the program file the package goes behind
    std::string from;        // the folder whose files become the entries
    uint32_t options = 0;    // the package's default options
    std::string output;      // the packed program
    // The largest compressed entry: the size field is a signed 32-bit value. Tests lower it.
    uint64_t maxEntrySize = 0x7FFFFFFF;
};

// The stored name of a folder's file ("x" -> "x.gz"), or "" with a reason when the program would
// refuse it or the release would break on it.
std::string StoredName(const std::string& fileName, std::string* reason);

// Writes the program with the package behind it: one gzip member per file of `from` (no file
// name, no flags, time 0, operating system 11, best compression), entries in name order without
// regard to case, the package's offset at byte 40. The same inputs give the same bytes. On a
// problem nothing is left at `output`.
bool BuildPackage(const BuildRequest& request, Problems* problems);

// ---------------------------------------------------------------------------------------------
// Reading

struct EntryInfo {
    std::string name;          // as stored (up to its NUL)
    uint64_t headOffset = 0;   // absolute offset of the entry's head in the file
    int32_t storedSize = 0;    // the size field
    bool complete = false;     // the head and all its data lie within the file
    // Filled by CheckMembers:
    bool checked = false;      // the member decompressed without error and its trailer agreed
    uint64_t unpackedSize = 0; // bytes decompressed
    uint32_t crc = 0;          // the CRC of the trailer
    std::string sha256;        // of the unpacked file, in hex
};

struct PackageInfo {
    uint64_t fileSize = 0;
    uint32_t offset = 0;             // at byte 40
    bool hasPackage = false;         // the offset is not 0 and "LPCK" stands there
    uint32_t defaultOptions = 0;
    int32_t entryCount = 0;
    std::vector<EntryInfo> entries;  // the heads found, as far as the file reaches
    uint64_t endOfEntries = 0;       // the offset behind the last complete entry
    std::string variant;             // "romshell", "romshell-phx" from the program's marker, or ""
    // The Authenticode signature: where its table lies (Good: 8-aligned at the file's end) and,
    // after CheckSignature, whether the file still has the digest it was signed with.
    SignatureCheck signature = SignatureCheck::Unsigned;
    SignedLayout signedLayout;
    std::string signatureDigest;     // "SHA-256" after CheckSignature found a good one
};

// Reads the package's structure (no decompression). Problems: the file cannot be read, no
// package, heads or data cut short, negative sizes or count, names the program refuses.
bool ReadPackage(const std::string& file, PackageInfo* info, Problems* problems);

// Decompresses every complete entry, filling unpackedSize, crc and checked. Problems: a member
// that does not decompress, a CRC or length that disagrees with its trailer, bytes behind it.
void CheckMembers(const std::string& file, PackageInfo* info, Problems* problems);

// Checks the file's Authenticode digest (package/signature.h) and sets info->signature. Problems:
// a table that is not where the security directory says, one that cannot be read, a file that
// changed after signing.
void CheckSignature(const std::string& file, PackageInfo* info, Problems* problems);

// The listing: offset, default options with their names, the signature, one aligned row per
// entry (with the SHA-256 of each unpacked file when asked).
std::string FormatListing(const std::string& file, const PackageInfo& info, bool sha256 = false);

// Extracts every entry into `folder` (made when missing) under its name without ".gz", after
// checking the whole package first: nothing is written when a name, a size or a member is bad.
bool ExtractPackage(const std::string& file, const std::string& folder, Problems* problems);

// Checks a packed program for a variant ("romshell" or "romshell-phx"; none: the program's
// marker decides) before it is released. Problems: everything ReadPackage and CheckMembers find,
// names without ".gz", names twice, bytes behind the last entry other than the alignment and the
// certificate table that the security directory points to, a signature whose digest the file no
// longer has, missing entries, not exactly one ".wph" image, a program, library or driver that
// is not a Windows file of the kind and processor its name says, the test bench's ADDMEM driver,
// and the faults of the language libraries (CheckLibrary).
// forTests: a package made for the tests (stand-ins, the bench's driver) reports the stand-ins
// and the bench's driver as warnings (when given) instead.
bool VerifyPackage(const std::string& file, const std::optional<std::string>& variant, Problems* problems,
                   std::string* summary, Problems* warnings = nullptr, bool forTests = false);

// The kind and processor that a packed file's name says it is, checked against its unpacked
// bytes: "" when it is that, else the reason. Names the rule does not know are not checked.
std::string CheckWindowsFile(const std::string& fileName, const std::vector<uint8_t>& bytes);

// Checks one language resource library (its unpacked bytes) as the program uses it: every string
// id of the program's table present, with the English text's conversions in the same order,
// every character in the code page of its language and fitting its buffer there, and dialogs 116 and 117 with every control
// id the program addresses. One problem per fault, each beginning with `where`.
void CheckLibrary(const std::string& where, const std::string& language, const std::vector<uint8_t>& bytes,
                  Problems* problems);

// The entries a variant needs, as stored (with ".gz"), the image excepted.
std::vector<std::string> RequiredEntries(const std::string& variant);

}  // namespace pack
