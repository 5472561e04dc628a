// Digests from nettle: no allocation, no global state, contexts on the stack. The library is loaded only
// when a key needs it, so that the daemon without keys stays as small as before. MD5 and SHA1 come through
// nettle's hash descriptors, so the keyed hash (the key, then the message) is written once; CMAC apart.

#include <dlfcn.h>
#include <sys/random.h>

#include <nettle/cmac.h>
#include <nettle/nettle-meta.h>
#include <cerrno>

#include "auth/Mac.h"

namespace {

struct Nettle {
    bool loaded = false;
    const nettle_hash* md5 = nullptr;
    const nettle_hash* sha1 = nullptr;
    decltype(&nettle_cmac_aes128_set_key) cmacSetKey = nullptr;
    decltype(&nettle_cmac_aes128_update) cmacUpdate = nullptr;
    decltype(&nettle_cmac_aes128_digest) cmacDigest = nullptr;
};

template <typename T>
bool Bind(void* library, const char* name, T& symbol) {
    symbol = reinterpret_cast<T>(dlsym(library, name));
    return symbol != nullptr;
}

Nettle Load() {
    Nettle n;
    // Debian 12's nettle (libnettle8); the unversioned name where only the development files give it.
    void* library = dlopen("libnettle.so.8", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) library = dlopen("libnettle.so", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return n;
    n.loaded = Bind(library, "nettle_md5", n.md5) && Bind(library, "nettle_sha1", n.sha1) &&
               Bind(library, "nettle_cmac_aes128_set_key", n.cmacSetKey) &&
               Bind(library, "nettle_cmac_aes128_update", n.cmacUpdate) &&
               Bind(library, "nettle_cmac_aes128_digest", n.cmacDigest);
    return n;
}

const Nettle& Library() {
    static const Nettle nettle = Load();
    return nettle;
}

// Room for the context of MD5 or SHA1 (about 100 bytes) and then some; a larger one is refused.
constexpr size_t kMaxHashContextBytes = 512;

// NTP's MAC for MD5 and SHA1 (RFC 5905): the digest of the key followed by the message.
bool KeyedHash(const nettle_hash& hash, const SymmetricKey& key, const uint8_t* message, size_t length,
               uint8_t* digest) {
    if (hash.context_size > kMaxHashContextBytes) return false;
    alignas(16) uint8_t context[kMaxHashContextBytes];
    hash.init(context);
    hash.update(context, key.length, key.secret);
    hash.update(context, length, message);
    hash.digest(context, hash.digest_size, digest);
    return true;
}

}  // namespace

bool MacSupported(MacType) {
    return Library().loaded;
}

bool ComputeDigest(const SymmetricKey& key, const uint8_t* message, size_t length, uint8_t* digest) {
    const Nettle& n = Library();
    if (!n.loaded) return false;
    switch (key.type) {
        case MacType::kMd5:
            return KeyedHash(*n.md5, key, message, length, digest);
        case MacType::kSha1:
            return KeyedHash(*n.sha1, key, message, length, digest);
        case MacType::kAesCmac: {
            if (key.length != AES128_KEY_SIZE) return false;
            cmac_aes128_ctx context;
            n.cmacSetKey(&context, key.secret);
            n.cmacUpdate(&context, length, message);
            n.cmacDigest(&context, CMAC128_DIGEST_SIZE, digest);
            return true;
        }
    }
    return false;
}

// Never waits for the kernel's pool to be ready: a time service starts early in boot, where a machine
// without a random device (a small VM, a board) may wait minutes for it, and these bytes salt a table and
// fill poll bits rather than make keys. Kernels before 5.6 know no GRND_INSECURE: there, what the pool has.
bool PlatformFillRandom(uint8_t* out, size_t length) {
#ifndef GRND_INSECURE
    constexpr unsigned GRND_INSECURE = 0x0004;
#endif
    unsigned flags = GRND_INSECURE;
    while (length > 0) {
        const ssize_t n = getrandom(out, length, flags);
        if (n < 0 && errno == EINVAL && flags == GRND_INSECURE) {
            flags = GRND_NONBLOCK;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}
