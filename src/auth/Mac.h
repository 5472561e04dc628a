#pragma once

#include <cstddef>
#include <cstdint>

// Symmetric keys and the message digests of NTP's MAC (RFC 5905, RFC 8573): MD5 and SHA1 of the key
// followed by the message, and AES-128-CMAC of the message. The digests come from the platform's library
// (nettle on Linux, CNG on Windows).

enum class MacType { kMd5, kSha1, kAesCmac };

constexpr size_t kMaxSecretBytes = 64;
constexpr size_t kMaxDigestBytes = 20;

struct SymmetricKey {
    uint32_t id;
    MacType type;
    size_t length;
    uint8_t secret[kMaxSecretBytes];
};

size_t DigestBytes(MacType type);  // 16 for MD5 and AES-CMAC, 20 for SHA1
const char* MacTypeName(MacType type);

// Whether this system can compute the type at all (Windows before 8 has no AES-CMAC).
bool MacSupported(MacType type);
// The digest of length bytes of message under key into digest (DigestBytes of the type); false when the
// library failed.
bool ComputeDigest(const SymmetricKey& key, const uint8_t* message, size_t length, uint8_t* digest);

// Compares in time independent of where the first difference lies: a forger learns nothing from timing.
bool SameDigest(const uint8_t* a, const uint8_t* b, size_t length);

// Fills out with bytes no one on the network can predict (the kernel's generator, the system's CNG one),
// without waiting for the generator to be seeded; false when the platform could not.
bool FillRandom(uint8_t* out, size_t length);
bool PlatformFillRandom(uint8_t* out, size_t length);
