#include "sync/Config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/Socket.h"

bool ParseCount(const char* text, uint32_t& result) {
    if (text == nullptr || *text == '\0') return false;
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return false;
    }
    result = static_cast<uint32_t>(value);
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
    delay.value = static_cast<uint32_t>(value[0]) | (static_cast<uint32_t>(value[1]) << 8) |
                  (static_cast<uint32_t>(value[2]) << 16) | (static_cast<uint32_t>(value[3]) << 24);
    return delay;
}

std::string ShownValue(const ConfiguredNumber& number) {
    if (number.kind == ConfiguredNumber::kConfigured && number.text[0] == '\0')
        return std::to_string(number.value);
    return number.text;
}

ConfiguredText TextFromRegistryValue(long result, uint32_t type, uint32_t size, const char* value) {
    ConfiguredText text{ConfiguredNumber::kNotConfigured, {}, {}};
    if (result != kRegistryRead && result != kRegistryMoreData) return text;
    text.kind = ConfiguredNumber::kUnusable;
    if (result == kRegistryMoreData)
        (void)std::snprintf(text.text, sizeof text.text, "of type %u and more than %u bytes", type, size);
    else if (type != kRegistryString)
        (void)std::snprintf(text.text, sizeof text.text, "of type %u and %u bytes", type, size);
    else
        text.kind = ConfiguredNumber::kConfigured;
    if (text.kind == ConfiguredNumber::kConfigured) {
        const void* end = std::memchr(value, '\0', size);
        text.value.assign(value, end != nullptr ? static_cast<const char*>(end) - value : size);
    }
    return text;
}

namespace {

// A decimal number of at most three digits without a leading zero, up to limit; false otherwise.
bool ParseSmallNumber(const std::string& text, size_t& at, int limit, int& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && at - start < 3 && text[at] >= '0' && text[at] <= '9')
        value = value * 10 + (text[at++] - '0');
    const size_t digits = at - start;
    if (digits == 0 || (digits > 1 && text[start] == '0')) return false;
    if (at < text.size() && text[at] >= '0' && text[at] <= '9') return false;
    return value <= limit;
}

}  // namespace

bool ParseAllowedNetwork(const std::string& entry, AllowedNetwork& network) {
    size_t at = 0;
    int octets[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && (at >= entry.size() || entry[at++] != '.')) return false;
        if (!ParseSmallNumber(entry, at, 255, octets[i])) return false;
    }
    int prefix = 32;
    if (at < entry.size() && entry[at] == '/' && !ParseSmallNumber(entry, ++at, 32, prefix)) return false;
    if (at != entry.size()) return false;
    network.prefix = prefix;
    network.mask = HostToNet32(prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix));
    network.address = AddressFromOctets(static_cast<uint8_t>(octets[0]), static_cast<uint8_t>(octets[1]),
                                        static_cast<uint8_t>(octets[2]), static_cast<uint8_t>(octets[3])) &
                      network.mask;
    return true;
}

std::vector<std::string> SplitWords(const std::string& text, const char* separators) {
    std::vector<std::string> words;
    for (size_t at = text.find_first_not_of(separators); at != std::string::npos;
         at = text.find_first_not_of(separators, at)) {
        const size_t end = text.find_first_of(separators, at);
        words.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
    return words;
}

void ParseServerList(const std::string& text, std::vector<AllowedNetwork>& networks,
                     std::vector<std::string>& unusable) {
    for (const std::string& entry : SplitWords(text, " \t,")) {
        AllowedNetwork network{};
        if (networks.size() < kMaxAllowedNetworks && ParseAllowedNetwork(entry, network))
            networks.push_back(network);
        else
            unusable.push_back(entry);
    }
}

bool NetworkContains(const AllowedNetwork& network, uint32_t address) {
    return (address & network.mask) == network.address;
}

std::string FormatNetworks(const std::vector<AllowedNetwork>& networks) {
    std::string list;
    for (const AllowedNetwork& network : networks)
        list.append(list.empty() ? "" : " ").append(FormatNetwork(network));
    return list;
}

std::string FormatNetwork(const AllowedNetwork& network) {
    std::string text = FormatAddress(network.address).text;
    if (network.prefix != 32) text.append("/").append(std::to_string(network.prefix));
    return text;
}
