// Digests from CNG (bcrypt). The providers are opened once, by the one worker that uses them.

#include <windows.h>
// windows.h first
#include <bcrypt.h>

#include "auth/Mac.h"

namespace {

BCRYPT_ALG_HANDLE Provider(MacType type) {
    static BCRYPT_ALG_HANDLE providers[3] = {};
    static bool tried[3] = {};
    const int i = static_cast<int>(type);
    if (!tried[i]) {
        tried[i] = true;
        const wchar_t* name = type == MacType::kMd5    ? BCRYPT_MD5_ALGORITHM
                              : type == MacType::kSha1 ? BCRYPT_SHA1_ALGORITHM
                                                       : BCRYPT_AES_CMAC_ALGORITHM;
        if (BCryptOpenAlgorithmProvider(&providers[i], name, nullptr, 0) < 0) providers[i] = nullptr;
    }
    return providers[i];
}

}  // namespace

bool MacSupported(MacType type) {
    return Provider(type) != nullptr;
}

bool ComputeDigest(const SymmetricKey& key, const uint8_t* message, size_t length, uint8_t* digest) {
    const BCRYPT_ALG_HANDLE provider = Provider(key.type);
    if (provider == nullptr) return false;
    const bool cmac = key.type == MacType::kAesCmac;
    if (cmac && key.length != 16) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // For CMAC the key is the secret of the hash object; for MD5 and SHA1 it is hashed before the message.
    UCHAR* secret = const_cast<UCHAR*>(key.secret);
    if (BCryptCreateHash(provider, &hash, nullptr, 0, cmac ? secret : nullptr,
                         cmac ? static_cast<ULONG>(key.length) : 0, 0) < 0)
        return false;
    bool ok = cmac || BCryptHashData(hash, secret, static_cast<ULONG>(key.length), 0) >= 0;
    ok = ok && BCryptHashData(hash, const_cast<UCHAR*>(message), static_cast<ULONG>(length), 0) >= 0;
    ok = ok && BCryptFinishHash(hash, digest, static_cast<ULONG>(DigestBytes(key.type)), 0) >= 0;
    BCryptDestroyHash(hash);
    return ok;
}

bool PlatformFillRandom(uint8_t* out, size_t length) {
    return BCryptGenRandom(nullptr, out, static_cast<ULONG>(length), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}
