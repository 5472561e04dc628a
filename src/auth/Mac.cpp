#include "auth/Mac.h"

#include "base/Platform.h"

size_t DigestBytes(MacType type) {
    return type == MacType::kSha1 ? 20 : 16;
}

const char* MacTypeName(MacType type) {
    switch (type) {
        case MacType::kMd5:
            return "MD5";
        case MacType::kSha1:
            return "SHA1";
        case MacType::kAesCmac:
            return "AES128";
    }
    return "";
}

bool SameDigest(const uint8_t* a, const uint8_t* b, size_t length) {
    volatile uint8_t difference = 0;
    for (size_t i = 0; i < length; ++i) difference = difference | static_cast<uint8_t>(a[i] ^ b[i]);
    return difference == 0;
}

bool FillRandom(uint8_t* out, size_t length) {
    if (const auto fill = CurrentPlatform().fillRandom) return fill(out, length);
    return PlatformFillRandom(out, length);
}
