#pragma once

#include <cstdint>

// The mode: non-zero selects server mode. Read like a private profile integer: missing file, section or
// key gives 0, and the leading decimal digits of the value count.
int ReadServerMode();

struct ConfiguredDelay {
    enum Kind { kNotConfigured, kConfigured, kUnusable } kind;
    uint32_t milliseconds;
    char text[64];  // the value as found, for the log line of an unusable one
};

// The fixed one-way delay, in milliseconds, if the administrator configured one.
ConfiguredDelay ReadConfiguredDelay();

// Parsing shared by the platforms: an unsigned decimal count that fits 32 bits, nothing else.
bool ParseMilliseconds(const char* text, uint32_t& milliseconds);
int ParseProfileInt(const char* text);
