#include "sync/Config.h"

#include <cstdio>
#include <cstdlib>

bool ParseMilliseconds(const char* text, uint32_t& milliseconds) {
    if (text == nullptr || *text == '\0') return false;
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return false;
    }
    milliseconds = static_cast<uint32_t>(value);
    return true;
}

int ParseProfileInt(const char* text) {
    // Optional blanks and sign, then the leading digits; anything unreadable is 0.
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 0x7FFFFFFF) value = 0x7FFFFFFF;  // saturate; only zero or not matters
    }
    return static_cast<int>(negative ? -value : value);
}

ConfiguredDelay DelayFromRegistryValue(long result, uint32_t type, uint32_t size, const uint8_t value[4]) {
    ConfiguredDelay delay{ConfiguredDelay::kNotConfigured, 0, {}};
    if (result != kRegistryRead && result != kRegistryMoreData) return delay;
    if (result == kRegistryMoreData || type != kRegistryDword || size != 4) {
        delay.kind = ConfiguredDelay::kUnusable;
        if (result == kRegistryMoreData)
            (void)std::snprintf(delay.text, sizeof delay.text, "of type %u and more than 4 bytes", type);
        else
            (void)std::snprintf(delay.text, sizeof delay.text, "of type %u and %u bytes", type, size);
        return delay;
    }
    // A REG_DWORD is little-endian whatever the host.
    delay.kind = ConfiguredDelay::kConfigured;
    delay.milliseconds = static_cast<uint32_t>(value[0]) | (static_cast<uint32_t>(value[1]) << 8) |
                         (static_cast<uint32_t>(value[2]) << 16) | (static_cast<uint32_t>(value[3]) << 24);
    return delay;
}
