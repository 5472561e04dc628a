#pragma once

#include <cstdint>

// The mode: non-zero selects server mode. Read like a private profile integer: missing file, section or
// key gives 0, and the leading decimal digits of the value count.
int ReadServerMode();

struct ConfiguredDelay {
    enum Kind { kNotConfigured, kConfigured, kUnusable } kind;
    uint32_t milliseconds;
    char text[72];  // what was found, as the log line shows it: a value in quotes, or a registry type
};

// The fixed one-way delay, in milliseconds, if the administrator configured one.
ConfiguredDelay ReadConfiguredDelay();

// A registry value read into 4 bytes: only a REG_DWORD (type 4) of 4 bytes is a delay. Any other value,
// such as the string "250" whose bytes would read as 3,159 seconds, is unusable; no value at all is not
// configured. result is the query's: 0 (read), 234 (more than 4 bytes) or another error.
constexpr uint32_t kRegistryDword = 4;
constexpr long kRegistryRead = 0;
constexpr long kRegistryMoreData = 234;
ConfiguredDelay DelayFromRegistryValue(long result, uint32_t type, uint32_t size, const uint8_t value[4]);

// The same readings from INI text instead of the file (Linux, where the settings are INI).
int ServerModeFromText(const char* text);
ConfiguredDelay ConfiguredDelayFromText(const char* text);

// Parsing shared by the platforms: an unsigned decimal count that fits 32 bits, nothing else.
bool ParseMilliseconds(const char* text, uint32_t& milliseconds);
int ParseProfileInt(const char* text);
