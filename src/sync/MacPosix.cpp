// Digests from nettle: no allocation, no global state, contexts on the stack. The library is loaded only
// when a key needs it, so that the daemon without keys stays as small as before.

#include <dlfcn.h>
#include <nettle/cmac.h>
#include <nettle/md5.h>
#include <nettle/sha1.h>

#include "sync/Mac.h"

namespace {

struct Nettle {
    bool loaded = false;
    decltype(&nettle_md5_init) md5Init = nullptr;
    decltype(&nettle_md5_update) md5Update = nullptr;
    decltype(&nettle_md5_digest) md5Digest = nullptr;
    decltype(&nettle_sha1_init) sha1Init = nullptr;
    decltype(&nettle_sha1_update) sha1Update = nullptr;
    decltype(&nettle_sha1_digest) sha1Digest = nullptr;
    decltype(&nettle_cmac_aes128_set_key) cmacSetKey = nullptr;
    decltype(&nettle_cmac_aes128_update) cmacUpdate = nullptr;
    decltype(&nettle_cmac_aes128_digest) cmacDigest = nullptr;
};

template <typename T>
bool Bind(void* library, const char* name, T& function) {
    function = reinterpret_cast<T>(dlsym(library, name));
    return function != nullptr;
}

Nettle Load() {
    Nettle n;
    // Debian 12's nettle (libnettle8); the unversioned name where only the development files give it.
    void* library = dlopen("libnettle.so.8", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) library = dlopen("libnettle.so", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return n;
    n.loaded =
        Bind(library, "nettle_md5_init", n.md5Init) && Bind(library, "nettle_md5_update", n.md5Update) &&
        Bind(library, "nettle_md5_digest", n.md5Digest) && Bind(library, "nettle_sha1_init", n.sha1Init) &&
        Bind(library, "nettle_sha1_update", n.sha1Update) &&
        Bind(library, "nettle_sha1_digest", n.sha1Digest) &&
        Bind(library, "nettle_cmac_aes128_set_key", n.cmacSetKey) &&
        Bind(library, "nettle_cmac_aes128_update", n.cmacUpdate) &&
        Bind(library, "nettle_cmac_aes128_digest", n.cmacDigest);
    return n;
}

const Nettle& Library() {
    static const Nettle nettle = Load();
    return nettle;
}

}  // namespace

bool MacSupported(MacType) {
    return Library().loaded;
}

bool ComputeDigest(const SymmetricKey& key, const uint8_t* message, size_t length, uint8_t* digest) {
    const Nettle& n = Library();
    if (!n.loaded) return false;
    switch (key.type) {
        case MacType::kMd5: {
            md5_ctx context;
            n.md5Init(&context);
            n.md5Update(&context, key.length, key.secret);
            n.md5Update(&context, length, message);
            n.md5Digest(&context, MD5_DIGEST_SIZE, digest);
            return true;
        }
        case MacType::kSha1: {
            sha1_ctx context;
            n.sha1Init(&context);
            n.sha1Update(&context, key.length, key.secret);
            n.sha1Update(&context, length, message);
            n.sha1Digest(&context, SHA1_DIGEST_SIZE, digest);
            return true;
        }
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
