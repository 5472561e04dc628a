// Key IDs in settings, and the settings that name keys (TrustedKeys, BroadcastKey), judged once the keys
// file is read.

#include "auth/Keys.h"
#include "config/Parse.h"

bool ParseKeyId(const std::string& text, uint32_t& id) {
    return text.size() <= 5 && ParseCount(text.c_str(), id) && id >= 1 && id <= kMaxKeyId;
}

void ParseKeyIdList(const std::string& text, std::vector<uint32_t>& ids, std::vector<std::string>& unusable) {
    for (const std::string& entry : SplitWords(text, " \t,")) {
        uint32_t id = 0;
        if (!ParseKeyId(entry, id)) {
            unusable.push_back(entry);
            continue;
        }
        bool repeated = false;
        for (const uint32_t known : ids) repeated = repeated || known == id;
        if (!repeated) ids.push_back(id);
    }
}

std::string FormatKeyIds(const std::vector<uint32_t>& ids) {
    std::string list;
    for (const uint32_t id : ids) list.append(list.empty() ? "" : " ").append(std::to_string(id));
    return list;
}

bool JudgeKeySettings(const FoundSettings& found, const std::vector<uint32_t>& loaded, Settings& settings,
                      std::vector<SettingLine>& lines) {
    const auto isLoaded = [&loaded](uint32_t id) {
        for (const uint32_t k : loaded)
            if (k == id) return true;
        return false;
    };
    bool ok = true;
    if (const FoundValue& v = found[Setting::kTrustedKeys]; v.kind != FoundValue::kAbsent) {
        // Present means required: a list that names nothing usable would let nothing through.
        settings.trustedConfigured = true;
        std::vector<uint32_t> named;
        std::vector<std::string> unusable;
        if (v.kind == FoundValue::kText) {
            ParseKeyIdList(v.text, named, unusable);
        } else {
            lines.push_back({SettingLine::kRefused, "TrustedKeys " + Shown(v) + " is not a list of key IDs"});
            ok = false;
        }
        for (const std::string& entry : unusable)
            lines.push_back({SettingLine::kIgnored, "TrustedKeys entry \"" + entry +
                                                        "\" is not a key ID from 1 to 65534; it is ignored"});
        for (const uint32_t id : named) {
            if (isLoaded(id))
                settings.trusted.push_back(id);
            else
                lines.push_back({SettingLine::kIgnored, "TrustedKeys names key " + std::to_string(id) +
                                                            ", which no keys file line gives"});
        }
        if (settings.trusted.empty()) {
            if (ok) lines.push_back({SettingLine::kRefused, "TrustedKeys names no usable key"});
            ok = false;
        } else if (found.serverMode == 0) {
            lines.push_back({SettingLine::kInForce,
                             "Accepting time broadcasts only under keys " + FormatKeyIds(settings.trusted)});
        }
    }
    if (const FoundValue& v = found[Setting::kBroadcastKey]; v.kind != FoundValue::kAbsent) {
        if (!SettingNumber(v, settings.broadcastKey) || !isLoaded(settings.broadcastKey)) {
            settings.broadcastKey = 0;
            lines.push_back({SettingLine::kRefused, "BroadcastKey " + Shown(v) + " is no loaded key"});
            ok = false;
        }
    }
    return ok;
}

bool TrustsBroadcastsUnder(const Settings& in, uint32_t id) {
    if (!in.trustedConfigured) return false;
    for (const uint32_t trusted : in.trusted)
        if (trusted == id) return true;
    return false;
}
