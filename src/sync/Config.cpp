#include "sync/Config.h"

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

ConfiguredDelay DelayFromRegistryValue(bool queried, uint32_t type, uint32_t size, const uint8_t value[4]) {
    ConfiguredDelay result{ConfiguredDelay::kNotConfigured, 0, {}};
    if (!queried || type != kRegistryDword || size != 4) return result;
    // A REG_DWORD is little-endian whatever the host.
    result.kind = ConfiguredDelay::kConfigured;
    result.milliseconds = static_cast<uint32_t>(value[0]) | (static_cast<uint32_t>(value[1]) << 8) |
                          (static_cast<uint32_t>(value[2]) << 16) | (static_cast<uint32_t>(value[3]) << 24);
    return result;
}
