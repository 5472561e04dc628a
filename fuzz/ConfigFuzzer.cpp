// Feeds arbitrary text to the configuration readers: the INI text, the judgement of the settings, the
// server list, the key IDs and the keys file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "auth/Keys.h"
#include "config/Ini.h"
#include "config/Networks.h"
#include "config/Parse.h"
#include "config/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    // Text taken as INI holds only settings with a name, on lines that exist.
    std::vector<IniEntry> entries;
    std::string problem;
    if (ParseIni(text, entries, problem)) {
        for (const IniEntry& e : entries)
            if (e.name.empty() || e.line == 0 || e.line > size + 1 || e.sectionLine > e.line)
                __builtin_trap();
    } else if (problem.empty()) {
        __builtin_trap();
    }
    // Judged, a start is refused with a reason, or the settings in force keep their bounds.
    const FoundSettings found = SettingsFromIni(text, "fuzz.ini");
    Settings settings;
    std::vector<SettingLine> lines;
    bool ok = JudgeSettings(found, settings, lines);
    ok = JudgeKeySettings(found, {1, 2, 3}, settings, lines) && ok;
    bool refused = false;
    for (const SettingLine& l : lines) refused = refused || l.kind == SettingLine::kRefused;
    if (ok == refused) __builtin_trap();
    if (ok && ((settings.maxStepSeconds != 0 && settings.maxStepSeconds < 3) ||
               settings.servers.size() > 64 || (settings.serversConfigured && settings.servers.empty()) ||
               (settings.trustedConfigured && settings.trusted.empty())))
        __builtin_trap();
    // Every entry of the server list is taken or refused, and a taken one formats back to itself.
    std::vector<AllowedNetwork> networks;
    std::vector<std::string> unusable;
    ParseServerList(text, networks, unusable);
    for (const AllowedNetwork& n : networks) {
        AllowedNetwork again{};
        if (!ParseAllowedNetwork(FormatNetwork(n), again) || again.address != n.address ||
            again.mask != n.mask)
            __builtin_trap();
    }
    // The same text as a keys file: every key taken is of a usable size, and no line is counted twice.
    std::vector<SymmetricKey> keys;
    std::vector<KeyFileProblem> problems;
    ParseKeyFile(text, keys, problems);
    for (const SymmetricKey& k : keys)
        if (k.length == 0 || k.length > kMaxSecretBytes || k.id == 0 || k.id > kMaxKeyId) __builtin_trap();
    std::vector<uint32_t> ids;
    ParseKeyIdList(text, ids, unusable);
    for (size_t i = 0; i < ids.size(); ++i)
        for (size_t j = i + 1; j < ids.size(); ++j)
            if (ids[i] == ids[j]) __builtin_trap();  // a repeated ID counts once
    uint32_t ms = 0;
    ParseCount(text.c_str(), ms);
    ParseProfileInt(text.c_str());
    return 0;
}
