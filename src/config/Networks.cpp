#include "config/Networks.h"

#include "config/Parse.h"
#include "net/Socket.h"

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

std::string FormatNetwork(const AllowedNetwork& network) {
    std::string text = FormatAddress(network.address).text;
    if (network.prefix != 32) text.append("/").append(std::to_string(network.prefix));
    return text;
}

std::string FormatNetworks(const std::vector<AllowedNetwork>& networks) {
    std::string list;
    for (const AllowedNetwork& network : networks)
        list.append(list.empty() ? "" : " ").append(FormatNetwork(network));
    return list;
}
