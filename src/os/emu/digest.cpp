// Digests for the emulated Windows and the release tool on Linux: the host's libcrypto stands in
// for CryptoAPI, with the same algorithm ids.
//
// Kept apart from the rest of the seam: it needs nothing of the emulated world, so that the
// release tool links it alone.
#include <openssl/evp.h>

#include "os/os.h"

namespace os {

namespace {

const EVP_MD* Algorithm(uint32_t id) {
    switch (id) {
        case kCalgSha1: return EVP_sha1();
        case kCalgSha256: return EVP_sha256();
        case kCalgSha384: return EVP_sha384();
        case kCalgSha512: return EVP_sha512();
        default: return nullptr;
    }
}

}  // namespace

Handle CreateDigest(uint32_t algorithm) {
    const EVP_MD* md = Algorithm(algorithm);
    if (md == nullptr) return nullptr;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) return nullptr;
    if (EVP_DigestInit_ex(context, md, nullptr) != 1) {
        EVP_MD_CTX_free(context);
        return nullptr;
    }
    return context;
}

bool AddToDigest(Handle digest, const void* data, uint32_t size) {
    return digest != nullptr && EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(digest), data, size) == 1;
}

bool FinishDigest(Handle digest, uint8_t* value, uint32_t* size) {
    unsigned int length = 0;
    if (digest == nullptr || EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(digest), value, &length) != 1) return false;
    *size = length;
    return true;
}

void DestroyDigest(Handle digest) { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(digest)); }

}  // namespace os
