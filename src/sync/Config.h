#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The mode: non-zero selects server mode. Read like a private profile integer: missing file, section or
// key gives 0, and the leading decimal digits of the value count.
int ReadServerMode();

// A whole-number setting: the delay (milliseconds) or the largest step (seconds).
struct ConfiguredNumber {
    enum Kind { kNotConfigured, kConfigured, kUnusable } kind;
    uint32_t value;
    char text[72];  // what was found, as the log line shows it: a value in quotes, or a registry type
};
using ConfiguredDelay = ConfiguredNumber;

// How a log line shows a number that cannot be used: the text found (a value in quotes, a registry type),
// or the number itself when it came as such (a REG_DWORD).
std::string ShownValue(const ConfiguredNumber& number);

// A text setting (the list of servers): its value, or what made it unusable (a registry type).
struct ConfiguredText {
    ConfiguredNumber::Kind kind;
    std::string value;
    char text[72];
};

// The fixed one-way delay, in milliseconds, if the administrator configured one.
ConfiguredDelay ReadConfiguredDelay();
// The defences against other broadcasters, in the same place as the delay: the senders whose broadcasts
// may be followed (Servers) and the largest correction after the first (MaxStep, seconds).
ConfiguredText ReadServers();
ConfiguredNumber ReadMaxStep();
// Authenticated time: the keys file's path, the key IDs trusted for broadcasts, the key server mode signs
// with.
ConfiguredText ReadKeysPath();
// The keys file the service's unit hands to it: the service runs as a dynamic user, who may not read a
// file only root may, so systemd reads this one and passes a private copy (a credential named "keys").
constexpr const char* kServiceKeysPath = "/etc/zelkor/keys";
// The keys file at path, at most maxBytes, refused on POSIX when group or others may read or change it;
// for kServiceKeysPath the service manager's copy when it passed one (the file's own mode still counts).
struct FileRead;
FileRead ReadKeysFile(const std::string& path, size_t maxBytes, std::string& text);
ConfiguredText ReadTrustedKeys();
ConfiguredNumber ReadBroadcastKey();

// A registry value read into 4 bytes: only a REG_DWORD (type 4) of 4 bytes is a delay. Any other value,
// such as the string "250" whose bytes would read as 3,159 seconds, is unusable; no value at all is not
// configured. result is the query's: 0 (read), 234 (more than 4 bytes) or another error.
constexpr uint32_t kRegistryDword = 4;
constexpr long kRegistryRead = 0;
constexpr long kRegistryMoreData = 234;
ConfiguredDelay DelayFromRegistryValue(long result, uint32_t type, uint32_t size, const uint8_t value[4]);
// Only a REG_SZ (type 1) is a list; the text ends at its first NUL or after size bytes.
constexpr uint32_t kRegistryString = 1;
ConfiguredText TextFromRegistryValue(long result, uint32_t type, uint32_t size, const char* value);

// The same readings from INI text instead of the file (Linux, where the settings are INI).
int ServerModeFromText(const char* text);
ConfiguredDelay ConfiguredDelayFromText(const char* text);
ConfiguredText ServersFromText(const char* text);
ConfiguredNumber MaxStepFromText(const char* text);

// Parsing shared by the platforms: an unsigned decimal count that fits 32 bits, nothing else.
bool ParseCount(const char* text, uint32_t& value);
int ParseProfileInt(const char* text);

// The words of text between any of the separators (a list setting, a keys file line).
std::vector<std::string> SplitWords(const std::string& text, const char* separators);

// A sender whose broadcasts may be followed: an address, or a subnet of prefix bits (0 to 32).
struct AllowedNetwork {
    uint32_t address;  // network byte order, the bits beyond the prefix cleared
    uint32_t mask;     // network byte order
    int prefix;
};
constexpr int kMaxAllowedNetworks = 64;

// "10.1.2.3" or "10.1.0.0/16": four decimal octets (no leading zeros, which some readers take for octal)
// and an optional prefix. False for anything else.
bool ParseAllowedNetwork(const std::string& entry, AllowedNetwork& network);
// Entries separated by blanks, tabs or commas. Each entry that cannot be used lands in unusable (beyond
// kMaxAllowedNetworks entries as well); the others in networks.
void ParseServerList(const std::string& text, std::vector<AllowedNetwork>& networks,
                     std::vector<std::string>& unusable);
bool NetworkContains(const AllowedNetwork& network, uint32_t address);    // address in network byte order
std::string FormatNetwork(const AllowedNetwork& network);                 // "10.1.0.0/16", or "10.1.2.3"
std::string FormatNetworks(const std::vector<AllowedNetwork>& networks);  // blank-separated
