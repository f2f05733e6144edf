// Digests through CryptoAPI (advapi32), which every Windows version the program runs on has.
//
// Kept apart from the rest of the seam, so that the release tool's Windows build can hash with it
// too (it links this file and advapi32 alone).
#include <new>

#include "os/os.h"
#include "os/win32/win32.h"

#include <wincrypt.h>

namespace os {

namespace {

struct Digest {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
};

}  // namespace

Handle CreateDigest(uint32_t algorithm) {
    Digest* digest = new (std::nothrow) Digest;
    if (digest == nullptr) return nullptr;
    // PROV_RSA_AES carries SHA-256 and longer, PROV_RSA_FULL does not; the verify context needs no
    // key container (and none is made on the disk).
    if (!::CryptAcquireContextA(&digest->provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        delete digest;
        return nullptr;
    }
    if (!::CryptCreateHash(digest->provider, algorithm, 0, 0, &digest->hash)) {
        ::CryptReleaseContext(digest->provider, 0);
        delete digest;
        return nullptr;
    }
    return digest;
}

bool AddToDigest(Handle digest, const void* data, uint32_t size) {
    if (digest == nullptr) return false;
    return ::CryptHashData(static_cast<Digest*>(digest)->hash, static_cast<const BYTE*>(data), size, 0) != FALSE;
}

bool FinishDigest(Handle digest, uint8_t* value, uint32_t* size) {
    if (digest == nullptr) return false;
    DWORD length = kLargestDigestSize;
    if (!::CryptGetHashParam(static_cast<Digest*>(digest)->hash, HP_HASHVAL, value, &length, 0)) return false;
    *size = length;
    return true;
}

void DestroyDigest(Handle digest) {
    if (digest == nullptr) return;
    Digest* d = static_cast<Digest*>(digest);
    ::CryptDestroyHash(d->hash);
    ::CryptReleaseContext(d->provider, 0);
    delete d;
}

}  // namespace os
