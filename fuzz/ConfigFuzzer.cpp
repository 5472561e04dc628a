// Feeds arbitrary text to the configuration readers: the INI parsing, the mode, the delay and the
// defences.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sync/Config.h"
#include "sync/Keys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ServerModeFromText(text.c_str());
    const ConfiguredDelay delay = ConfiguredDelayFromText(text.c_str());
    if (delay.kind == ConfiguredDelay::kConfigured) {
        // A delay taken must be exactly the digits that were written (shown in quotes).
        std::string digits(delay.text);
        if (digits.size() < 2 || digits.front() != '"' || digits.back() != '"') __builtin_trap();
        digits = digits.substr(1, digits.size() - 2);
        uint32_t again = 0;
        if (!ParseCount(digits.c_str(), again) || again != delay.value) __builtin_trap();
    }
    if (std::memchr(delay.text, 0, sizeof delay.text) == nullptr) __builtin_trap();
    // Every entry of the server list is taken or refused, and a taken one formats back to itself.
    const ConfiguredText servers = ServersFromText(text.c_str());
    std::vector<AllowedNetwork> networks;
    std::vector<std::string> unusable;
    ParseServerList(servers.value, networks, unusable);
    for (const AllowedNetwork& n : networks) {
        AllowedNetwork again{};
        if (!ParseAllowedNetwork(FormatNetwork(n), again) || again.address != n.address ||
            again.mask != n.mask)
            __builtin_trap();
    }
    MaxStepFromText(text.c_str());
    // The same text as a keys file: every key taken is of a usable size, and no line is counted twice.
    std::vector<SymmetricKey> keys;
    std::vector<KeyFileProblem> problems;
    ParseKeyFile(text, keys, problems);
    for (const SymmetricKey& k : keys)
        if (k.length == 0 || k.length > kMaxSecretBytes || k.id == 0 || k.id > kMaxKeyId) __builtin_trap();
    std::vector<uint32_t> ids;
    ParseKeyIdList(text, ids, unusable);
    uint32_t ms = 0;
    ParseCount(text.c_str(), ms);
    ParseProfileInt(text.c_str());
    return 0;
}
