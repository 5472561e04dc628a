// Digests from nettle: no allocation, no global state, contexts on the stack.

#include <nettle/cmac.h>
#include <nettle/md5.h>
#include <nettle/sha1.h>

#include "sync/Mac.h"

bool MacSupported(MacType) {
    return true;
}

bool ComputeDigest(const SymmetricKey& key, const uint8_t* message, size_t length, uint8_t* digest) {
    switch (key.type) {
        case MacType::kMd5: {
            md5_ctx context;
            md5_init(&context);
            md5_update(&context, key.length, key.secret);
            md5_update(&context, length, message);
            md5_digest(&context, MD5_DIGEST_SIZE, digest);
            return true;
        }
        case MacType::kSha1: {
            sha1_ctx context;
            sha1_init(&context);
            sha1_update(&context, key.length, key.secret);
            sha1_update(&context, length, message);
            sha1_digest(&context, SHA1_DIGEST_SIZE, digest);
            return true;
        }
        case MacType::kAesCmac: {
            if (key.length != AES128_KEY_SIZE) return false;
            cmac_aes128_ctx context;
            cmac_aes128_set_key(&context, key.secret);
            cmac_aes128_update(&context, length, message);
            cmac_aes128_digest(&context, CMAC128_DIGEST_SIZE, digest);
            return true;
        }
    }
    return false;
}
