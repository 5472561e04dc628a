#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A sender whose broadcasts may be followed (Servers): an address, or a subnet of prefix bits (0 to 32).
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
