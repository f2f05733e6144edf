#include "package/signature.h"

#include <cstring>

#include "os/os.h"

namespace {

uint16_t Load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// PE header fields, as offsets from the header's "PE\0\0" and from the optional header.
constexpr uint32_t kNewHeaderPointer = 0x3C;
constexpr uint32_t kOptionalHeaderSizeField = 20;
constexpr uint32_t kOptionalHeaderStart = 24;
constexpr uint32_t kChecksumField = 64;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kTableAlignment = 8;

// WIN_CERTIFICATE: dwLength, wRevision 2.0, wCertificateType PKCS_SIGNED_DATA, then the data.
constexpr uint32_t kCertificateHeaderSize = 8;
constexpr uint16_t kCertificateRevision = 0x0200;
constexpr uint16_t kCertificateSignedData = 0x0002;

// DER object identifiers, as their content bytes.
constexpr uint8_t kOidSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
constexpr uint8_t kOidIndirectData[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x04};

struct DigestRow {
    uint8_t oid[9];
    uint8_t oidSize;
    uint32_t algorithm;
    uint32_t size;
    const char* name;
};
constexpr DigestRow kDigests[] = {
    {{0x2B, 0x0E, 0x03, 0x02, 0x1A}, 5, os::kCalgSha1, 20, "SHA-1"},
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}, 9, os::kCalgSha256, 32, "SHA-256"},
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}, 9, os::kCalgSha384, 48, "SHA-384"},
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}, 9, os::kCalgSha512, 64, "SHA-512"},
};

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagSet = 0x31;
constexpr uint8_t kTagExplicit0 = 0xA0;

// A span of DER: elements are read from at up to end; bytes past available are not at hand.
struct Der {
    const uint8_t* bytes;
    size_t available;
    size_t at;
    size_t end;
};

// Reads the element at der.at with the given tag: its content becomes inner, der moves past it.
// Definite lengths of up to four bytes only; anything outside its container or the bytes at hand
// (the header, and for primitive elements the content) is refused.
bool Next(Der* der, uint8_t tag, Der* inner, bool needContent = false) {
    const size_t limit = der->end < der->available ? der->end : der->available;
    if (der->at + 2 > limit || der->bytes[der->at] != tag) return false;
    size_t at = der->at + 1;
    uint32_t length = der->bytes[at++];
    if (length >= 0x80) {
        const uint32_t count = length & 0x7F;
        if (count == 0 || count > 4 || at + count > limit) return false;
        length = 0;
        for (uint32_t i = 0; i < count; ++i) length = (length << 8) | der->bytes[at++];
    }
    if (length > der->end - at) return false;
    if (needContent && at + length > der->available) return false;
    *inner = {der->bytes, der->available, at, at + length};
    der->at = at + length;
    return true;
}

bool Is(const Der& element, const uint8_t* content, size_t size) {
    return element.end - element.at == size && std::memcmp(element.bytes + element.at, content, size) == 0;
}

}  // namespace

const char* SignatureCheckText(SignatureCheck check) {
    switch (check) {
        case SignatureCheck::Unsigned: return "not signed";
        case SignatureCheck::Good: return "signature's digest matches the file";
        case SignatureCheck::Changed: return "file changed after it was signed (its digest differs from the signature's)";
        case SignatureCheck::BadTable:
            return "certificate table is not where the security directory says, 8-aligned at the file's end";
        case SignatureCheck::Unreadable: return "certificate table holds no Authenticode signature that can be read";
        case SignatureCheck::UnknownDigest: return "signature uses a digest other than SHA-1, SHA-256, SHA-384 or SHA-512";
        case SignatureCheck::ReadFailed: return "file could not be read or hashed";
    }
    return "?";
}

SignatureCheck ReadSignedLayout(const uint8_t* head, size_t headSize, uint64_t fileSize, SignedLayout* layout) {
    *layout = SignedLayout{};
    if (headSize < kNewHeaderPointer + 4 || head[0] != 'M' || head[1] != 'Z') return SignatureCheck::Unsigned;
    const uint32_t pe = Load32(head + kNewHeaderPointer);
    const uint64_t optional = uint64_t{pe} + kOptionalHeaderStart;
    if (optional + 2 > headSize || std::memcmp(head + pe, "PE\0\0", 4) != 0) return SignatureCheck::Unsigned;
    const uint16_t magic = Load16(head + optional);
    const uint32_t optionalSize = Load16(head + pe + kOptionalHeaderSizeField);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) return SignatureCheck::Unsigned;
    const uint32_t countField = magic == kMagicPe32 ? 92 : 108;
    const uint64_t directory = optional + countField + 4 + 8 * kSecurityDirectory;
    if (directory + 8 > optional + optionalSize || directory + 8 > headSize ||
        Load32(head + optional + countField) <= kSecurityDirectory) {
        return SignatureCheck::Unsigned;
    }
    layout->checksumOffset = static_cast<uint32_t>(optional + kChecksumField);
    layout->directoryOffset = static_cast<uint32_t>(directory);
    const uint32_t offset = Load32(head + directory);
    const uint32_t size = Load32(head + directory + 4);
    if (offset == 0 && size == 0) return SignatureCheck::Unsigned;
    layout->tableOffset = offset;
    layout->tableSize = size;
    if (offset % kTableAlignment != 0 || offset < directory + 8 || size < kCertificateHeaderSize ||
        uint64_t{offset} + size != fileSize) {
        return SignatureCheck::BadTable;
    }
    return SignatureCheck::Good;
}

SignatureCheck ReadSignedDigest(const uint8_t* table, size_t available, uint32_t tableSize, SignedDigest* digest) {
    *digest = SignedDigest{};
    if (available > tableSize) available = tableSize;
    if (available < kCertificateHeaderSize) return SignatureCheck::Unreadable;
    const uint32_t length = Load32(table);
    if (length < kCertificateHeaderSize || length > tableSize || Load16(table + 4) != kCertificateRevision ||
        Load16(table + 6) != kCertificateSignedData) {
        return SignatureCheck::Unreadable;
    }
    // ContentInfo { signedData, [0] SignedData { version, digestAlgorithms, ContentInfo {
    // SpcIndirectDataContent, [0] { data, DigestInfo { AlgorithmIdentifier { oid, ... }, digest } } } } }
    Der all{table, available, kCertificateHeaderSize, length};
    Der info, oid, explicit0, signedData, skipped, content, indirect, spc, digestInfo, algorithm, value;
    if (!Next(&all, kTagSequence, &info) || !Next(&info, kTagOid, &oid, true) ||
        !Is(oid, kOidSignedData, sizeof kOidSignedData) || !Next(&info, kTagExplicit0, &explicit0) ||
        !Next(&explicit0, kTagSequence, &signedData) || !Next(&signedData, kTagInteger, &skipped) ||
        !Next(&signedData, kTagSet, &skipped) || !Next(&signedData, kTagSequence, &content) ||
        !Next(&content, kTagOid, &oid, true) || !Is(oid, kOidIndirectData, sizeof kOidIndirectData) ||
        !Next(&content, kTagExplicit0, &indirect) || !Next(&indirect, kTagSequence, &spc) ||
        !Next(&spc, kTagSequence, &skipped) || !Next(&spc, kTagSequence, &digestInfo) ||
        !Next(&digestInfo, kTagSequence, &algorithm) || !Next(&algorithm, kTagOid, &oid, true) ||
        !Next(&digestInfo, kTagOctetString, &value, true)) {
        return SignatureCheck::Unreadable;
    }
    for (const DigestRow& row : kDigests) {
        if (!Is(oid, row.oid, row.oidSize)) continue;
        if (value.end - value.at != row.size) return SignatureCheck::Unreadable;
        digest->algorithm = row.algorithm;
        digest->name = row.name;
        digest->size = row.size;
        std::memcpy(digest->value, table + value.at, row.size);
        return SignatureCheck::Good;
    }
    return SignatureCheck::UnknownDigest;
}

SignatureCheck CheckFileSignature(ReadFileAt read, void* file, uint64_t fileSize, SignatureReport* report) {
    *report = SignatureReport{};
    uint8_t buffer[kSignedLayoutHeadSize];
    const uint32_t headSize = fileSize < sizeof buffer ? static_cast<uint32_t>(fileSize) : uint32_t{sizeof buffer};
    if (!read(file, 0, buffer, headSize)) return report->check = SignatureCheck::ReadFailed;
    report->check = ReadSignedLayout(buffer, headSize, fileSize, &report->layout);
    if (report->check != SignatureCheck::Good) return report->check;

    const SignedLayout& layout = report->layout;
    static_assert(kSignedDigestReadSize <= sizeof buffer);
    const uint32_t tableRead = layout.tableSize < kSignedDigestReadSize ? layout.tableSize : kSignedDigestReadSize;
    if (!read(file, layout.tableOffset, buffer, tableRead)) return report->check = SignatureCheck::ReadFailed;
    report->check = ReadSignedDigest(buffer, tableRead, layout.tableSize, &report->expected);
    if (report->check != SignatureCheck::Good) return report->check;

    // The file in order, less the checksum, the directory entry and the table.
    const struct {
        uint32_t from, to;
    } ranges[] = {
        {0, layout.checksumOffset},
        {layout.checksumOffset + 4, layout.directoryOffset},
        {layout.directoryOffset + 8, layout.tableOffset},
    };
    os::Handle digest = os::CreateDigest(report->expected.algorithm);
    bool ok = digest != nullptr;
    for (const auto& range : ranges) {
        for (uint32_t at = range.from; ok && at < range.to;) {
            const uint32_t n = range.to - at < sizeof buffer ? range.to - at : uint32_t{sizeof buffer};
            ok = read(file, at, buffer, n) && os::AddToDigest(digest, buffer, n);
            at += n;
        }
    }
    uint32_t size = 0;
    ok = ok && os::FinishDigest(digest, report->found, &size) && size == report->expected.size;
    os::DestroyDigest(digest);
    if (!ok) return report->check = SignatureCheck::ReadFailed;
    report->check = std::memcmp(report->found, report->expected.value, size) == 0 ? SignatureCheck::Good
                                                                                   : SignatureCheck::Changed;
    return report->check;
}
