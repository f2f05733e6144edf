// The Authenticode signature of a program file: which bytes it covers, which digest it carries,
// and whether the file still has that digest. Written once for the program (which checks its own
// file before it extracts anything) and the release tool (which checks a packed, signed file).
//
// A signed file ends with its certificate table, which the PE security directory (data directory
// 4: file offset and size) points to; the table is not mapped and is no part of the image. The
// digest covers the whole file in order except the header's checksum field, the security
// directory entry and the table itself: the package, which lies behind the last section, and the
// zero bytes that align the table to 8 are covered. The table's first certificate is a PKCS #7
// SignedData whose content (SpcIndirectDataContent) holds the algorithm and the digest.
//
// Only the digest is compared. Whether the signer is trusted, and whether the signer's signature
// over that digest holds, is for Windows to judge when the program is started.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SignatureCheck : uint8_t {
    Unsigned,        // no PE header, or a security directory of 0 and 0
    Good,            // the file's digest is the one the signature carries
    Changed,         // the file's digest is another one: it changed after signing
    BadTable,        // the directory points outside the file, unaligned, or not at its end
    Unreadable,      // the table does not hold a signature this walk can read
    UnknownDigest,   // the signature names a digest algorithm other than SHA-1 and SHA-2
    ReadFailed,      // the file or the digest failed
};
const char* SignatureCheckText(SignatureCheck check);

// Where a PE file's checksum, security directory entry and certificate table lie.
struct SignedLayout {
    uint32_t checksumOffset = 0;
    uint32_t directoryOffset = 0;  // the security directory entry (8 bytes)
    uint32_t tableOffset = 0;      // 0 when the file is not signed
    uint32_t tableSize = 0;
};

// The first bytes of a file that ReadSignedLayout needs at most.
constexpr uint32_t kSignedLayoutHeadSize = 4096;

// Reads the layout from the file's first bytes (up to kSignedLayoutHeadSize) and its size.
// Unsigned when head is no PE header within those bytes or the directory is empty; BadTable when
// the table does not lie 8-aligned behind the directory entry and end exactly at the file's end.
SignatureCheck ReadSignedLayout(const uint8_t* head, size_t headSize, uint64_t fileSize, SignedLayout* layout);

struct SignedDigest {
    uint32_t algorithm = 0;  // os::kCalg...
    const char* name = "";   // "SHA-256"
    uint32_t size = 0;
    uint8_t value[64] = {};
};

// The bytes of the table read by ReadSignedDigest at most: the digest lies in the signature's
// first few hundred bytes, ahead of the certificates.
constexpr uint32_t kSignedDigestReadSize = 4096;

// Walks the certificate table's first certificate (its first up to kSignedDigestReadSize bytes in
// table; tableSize is the whole table's) down to the digest. Every length is checked against its
// container and the bytes at hand; anything else than the expected DER is Unreadable.
SignatureCheck ReadSignedDigest(const uint8_t* table, size_t available, uint32_t tableSize, SignedDigest* digest);

// Reads size bytes at offset of a file; false when fewer came.
using ReadFileAt = bool (*)(void* file, uint64_t offset, void* buffer, uint32_t size);

struct SignatureReport {
    SignatureCheck check = SignatureCheck::Unsigned;
    SignedLayout layout;
    SignedDigest expected;  // from the signature
    uint8_t found[64] = {}; // of the file (expected.size bytes)
};

// The whole check of a file of fileSize bytes, read through read.
SignatureCheck CheckFileSignature(ReadFileAt read, void* file, uint64_t fileSize, SignatureReport* report);
