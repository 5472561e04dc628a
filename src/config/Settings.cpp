#include "config/Settings.h"

#include <cstdio>

#include "config/Ini.h"
#include "config/Parse.h"

namespace {

constexpr const char* kNames[kSettingCount] = {"Offset",      "Servers",      "MaxStep",    "Keys",
                                               "TrustedKeys", "BroadcastKey", "ServiceLog", "RtcSync",
                                               "RateLimit",   "Respond",      "PreciseTime"};
// A number's value is at most this long in a log line: a longer one is never read cut short.
constexpr size_t kMaxShownCharacters = 63;
constexpr uint32_t kLeastMaxStepSeconds = 3;  // a step is anything over 2 seconds

bool YesOrNo(const FoundValue& value, bool& yes) {
    if (value.kind == FoundValue::kNumber && value.number <= 1) {
        yes = value.number == 1;
        return true;
    }
    if (value.kind != FoundValue::kText) return false;
    for (const char* word : {"yes", "true", "on", "1"})
        if (SameName(value.text, word)) return yes = true;
    for (const char* word : {"no", "false", "off", "0"})
        if (SameName(value.text, word)) return !(yes = false);
    return false;
}

bool KnownSetting(const std::string& name) {
    for (const char* known : kNames)
        if (SameName(name, known)) return true;
    return false;
}

void Say(std::vector<SettingLine>& lines, SettingLine::Kind kind, std::string text) {
    lines.push_back({kind, std::move(text)});
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

void JudgeServers(const FoundValue& value, bool client, Settings& settings, std::vector<SettingLine>& lines,
                  bool& ok) {
    if (value.kind == FoundValue::kAbsent) return;
    // Present means restricted: a list that names nothing usable would let nothing through.
    settings.serversConfigured = true;
    if (value.kind != FoundValue::kText) {
        Say(lines, SettingLine::kRefused, "Servers " + Shown(value) + " is not a list of addresses");
        ok = false;
        return;
    }
    std::vector<std::string> unusable;
    ParseServerList(value.text, settings.servers, unusable);
    for (const std::string& entry : unusable) {
        AllowedNetwork network{};
        Say(lines, SettingLine::kIgnored,
            "Servers entry " + Quoted(entry) +
                (ParseAllowedNetwork(entry, network) ? " is beyond the 64 the list may hold"
                                                     : " is not an IPv4 address or subnet") +
                "; it is ignored");
    }
    bool broad = false;
    for (const AllowedNetwork& network : settings.servers) {
        if (network.prefix >= kShortestServersPrefix) continue;
        Say(lines, SettingLine::kRefused,
            "Servers entry \"" + FormatNetwork(network) +
                "\" admits most of the Internet (a prefix shorter than /8); name the LAN's servers or "
                "subnets");
        broad = true;
    }
    if (broad) {
        ok = false;
    } else if (settings.servers.empty()) {
        Say(lines, SettingLine::kRefused, "Servers names no usable address or subnet");
        ok = false;
    } else if (client) {
        Say(lines, SettingLine::kInForce,
            "Following time broadcasts only from " + FormatNetworks(settings.servers));
    }
}

}  // namespace

bool SettingNumber(const FoundValue& value, uint32_t& number) {
    if (value.kind == FoundValue::kNumber) {
        number = value.number;
        return true;
    }
    return value.kind == FoundValue::kText && value.text.size() <= kMaxShownCharacters &&
           ParseCount(value.text.c_str(), number);
}

bool SameName(const std::string& a, const char* b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return i == a.size() && b[i] == '\0';
}

const char* SettingName(Setting setting) {
    return kNames[static_cast<int>(setting)];
}

std::string Shown(const FoundValue& value) {
    switch (value.kind) {
        case FoundValue::kText:
            return Quoted(value.text.substr(0, kMaxShownCharacters));
        case FoundValue::kNumber:
            return std::to_string(value.number);
        case FoundValue::kUnusable:
            return value.shown;
        case FoundValue::kAbsent:
            break;
    }
    return "";
}

FoundSettings SettingsFromIni(const std::string& text, const std::string& source) {
    FoundSettings found;
    found.source = source;
    std::vector<IniEntry> entries;
    if (!ParseIni(text, entries, found.unusable)) return found;
    std::vector<std::string> sectionsTold;
    for (const IniEntry& e : entries) {
        const std::string where = " on line " + std::to_string(e.line);
        // A setting of [Zelkor] anywhere else would be a defence the administrator meant and Zelkor left out.
        if (!SameName(e.section, "Zelkor") && KnownSetting(e.name)) {
            found.misplaced.push_back(
                "Setting " + Quoted(e.name) + where +
                (e.section.empty() ? " is in no section" : " is in [" + e.section + "]") +
                ", not in [Zelkor]");
            continue;
        }
        if (SameName(e.section, "ZelkorNT")) {
            if (SameName(e.name, "server")) {
                found.serverMode = ParseProfileInt(e.value.c_str());
                found.serverModeFound = true;
                continue;
            }
        } else if (SameName(e.section, "Zelkor")) {
            bool known = false;
            for (int s = 0; s < kSettingCount && !known; ++s) {
                if (!SameName(e.name, kNames[s])) continue;
                found.values[s] = FoundValue{FoundValue::kText, e.value, 0, {}};
                known = true;
            }
            if (known) continue;
        } else if (e.section.empty()) {
            found.unknown.push_back("Setting " + Quoted(e.name) + where + " is in no section; it is ignored");
            continue;
        } else {
            bool told = false;
            for (const std::string& s : sectionsTold) told = told || SameName(s, e.section.c_str());
            if (!told) {
                sectionsTold.push_back(e.section);
                found.unknown.push_back("Unknown section [" + e.section + "] on line " +
                                        std::to_string(e.sectionLine) + "; its settings are ignored");
            }
            continue;
        }
        found.unknown.push_back("Unknown setting " + Quoted(e.name) + " in [" + e.section + "]" + where +
                                "; it is ignored");
    }
    return found;
}

void MergeSettings(FoundSettings& into, const FoundSettings& later) {
    if (!into.unusable.empty()) return;
    if (!later.unusable.empty()) {
        into.source = later.source;
        into.unusable = later.unusable;
        return;
    }
    if (later.serverModeFound) {
        into.serverMode = later.serverMode;
        into.serverModeFound = true;
    }
    for (int s = 0; s < kSettingCount; ++s)
        if (later.values[s].kind != FoundValue::kAbsent) into.values[s] = later.values[s];
    for (const std::string& line : later.unknown) into.unknown.push_back(later.source + ": " + line);
    for (const std::string& line : later.misplaced) into.misplaced.push_back(later.source + ": " + line);
}

FoundValue DwordFromRegistry(long result, uint32_t type, uint32_t size, const uint8_t value[4]) {
    FoundValue found;
    if (result != kRegistryRead && result != kRegistryMoreData) return found;
    if (result == kRegistryMoreData || type != kRegistryDword || size != 4) {
        char shown[72];
        if (result == kRegistryMoreData)
            (void)std::snprintf(shown, sizeof shown, "of type %u and more than 4 bytes", type);
        else
            (void)std::snprintf(shown, sizeof shown, "of type %u and %u bytes", type, size);
        return FoundValue{FoundValue::kUnusable, {}, 0, shown};
    }
    // A REG_DWORD is little-endian whatever the host.
    found.kind = FoundValue::kNumber;
    found.number = static_cast<uint32_t>(value[0]) | (static_cast<uint32_t>(value[1]) << 8) |
                   (static_cast<uint32_t>(value[2]) << 16) | (static_cast<uint32_t>(value[3]) << 24);
    return found;
}

FoundValue TextFromRegistry(long result, uint32_t type, uint32_t size, const char* value) {
    FoundValue found;
    if (result != kRegistryRead && result != kRegistryMoreData) return found;
    char shown[72];
    if (result == kRegistryMoreData) {
        (void)std::snprintf(shown, sizeof shown, "of type %u and more than %u bytes", type, size);
    } else if (type != kRegistryString) {
        (void)std::snprintf(shown, sizeof shown, "of type %u and %u bytes", type, size);
    } else {
        found.kind = FoundValue::kText;
        size_t length = 0;
        while (length < size && value[length] != '\0') ++length;
        found.text.assign(value, length);
        return found;
    }
    return FoundValue{FoundValue::kUnusable, {}, 0, shown};
}

std::vector<std::string> UnknownProfileNames(const std::vector<std::string>& sections,
                                             const std::vector<std::string>& modeKeys) {
    std::vector<std::string> unknown;
    for (const std::string& section : sections)
        if (!SameName(section, "ZelkorNT"))
            unknown.push_back("Unknown section [" + section +
                              "] in zelkornt.ini; its settings are ignored (on Windows they are registry "
                              "values of the service)");
    for (const std::string& key : modeKeys)
        if (!SameName(key, "server"))
            unknown.push_back("Unknown setting " + Quoted(key) +
                              " in [ZelkorNT] of zelkornt.ini; it is ignored");
    return unknown;
}

bool JudgeSettings(const FoundSettings& found, Settings& settings, std::vector<SettingLine>& lines) {
    settings = Settings{};
    settings.serverMode = found.serverMode;
    if (!found.unusable.empty()) {
        Say(lines, SettingLine::kRefused,
            "Configuration file " + Quoted(found.source) + " is unusable: " + found.unusable);
        return false;
    }
    for (const std::string& line : found.unknown) Say(lines, SettingLine::kIgnored, line);
    bool ok = found.misplaced.empty();
    for (const std::string& line : found.misplaced) Say(lines, SettingLine::kRefused, line);
    const bool client = found.serverMode == 0;

    settings.offset = found[Setting::kOffset];
    settings.fixedDelay = SettingNumber(settings.offset, settings.offsetMs);

    JudgeServers(found[Setting::kServers], client, settings, lines, ok);

    if (const FoundValue& v = found[Setting::kMaxStep]; v.kind != FoundValue::kAbsent) {
        if (SettingNumber(v, settings.maxStepSeconds) && settings.maxStepSeconds >= kLeastMaxStepSeconds) {
            if (client)
                Say(lines, SettingLine::kInForce,
                    "MaxStep is " + std::to_string(settings.maxStepSeconds) + " seconds");
        } else {
            settings.maxStepSeconds = 0;
            Say(lines, SettingLine::kRefused,
                "MaxStep " + Shown(v) + " is not a whole number of seconds of at least 3");
            ok = false;
        }
    }

    if (const FoundValue& v = found[Setting::kKeys]; v.kind != FoundValue::kAbsent) {
        if (v.kind == FoundValue::kText && !v.text.empty()) {
            settings.keysPath = v.text;
        } else {
            Say(lines, SettingLine::kRefused,
                "Keys " + (v.kind == FoundValue::kText ? "\"\"" : Shown(v)) + " is not a path");
            ok = false;
        }
    }

    bool rateLimitOn = true;
    if (const FoundValue& v = found[Setting::kRateLimit];
        v.kind != FoundValue::kAbsent && !(YesOrNo(v, rateLimitOn) && !rateLimitOn)) {
        const std::vector<std::string> words =
            v.kind == FoundValue::kText ? SplitWords(v.text, " \t,") : std::vector<std::string>{};
        uint32_t seconds = 0, burst = 0;
        if (words.size() == 2 && words[0].size() <= 4 && words[1].size() <= 4 &&
            ParseCount(words[0].c_str(), seconds) && ParseCount(words[1].c_str(), burst) && seconds >= 1 &&
            seconds <= kMaxRateLimitSeconds && burst >= 1 && burst <= kMaxRateLimitBurst) {
            settings.rateLimitSeconds = seconds;
            settings.rateLimitBurst = burst;
            if (client)
                Say(lines, SettingLine::kInForce,
                    "Answering each source once every " + std::to_string(seconds) + " s on average, " +
                        std::to_string(burst) + " at most at once");
        } else {
            Say(lines, SettingLine::kRefused,
                "RateLimit " + Shown(v) +
                    " is not an interval of 1 to 3600 seconds and a burst of 1 to 1024, such as \"2 16\", "
                    "nor off");
            ok = false;
        }
    }

    const Setting switches[] = {Setting::kServiceLog, Setting::kRtcSync, Setting::kRespond,
                                Setting::kPreciseTime};
    bool* targets[] = {&settings.serviceLog, &settings.rtcSync, &settings.respond, &settings.preciseTime};
    for (int i = 0; i < 4; ++i) {
        const FoundValue& v = found[switches[i]];
        if (v.kind != FoundValue::kAbsent && !YesOrNo(v, *targets[i])) {
            Say(lines, SettingLine::kRefused,
                std::string(SettingName(switches[i])) + " " + Shown(v) + " is not yes or no");
            ok = false;
        }
    }
    if (client && !settings.respond)
        Say(lines, SettingLine::kInForce, "Requests from other machines are not answered");
    return ok;
}
