#include "stat/CheckConfig.h"

#include <cstdio>

#include "base/Log.h"
#include "config/Parse.h"
#include "config/Settings.h"
#include "service/RunLoop.h"
#include "service/Workers.h"
#include "sync/InForce.h"

bool ParseTriedSetting(const std::string& text, std::pair<std::string, std::string>& tried,
                       std::string& problem) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        problem = "\"" + text + "\" is not NAME=VALUE";
        return false;
    }
    tried = {text.substr(0, equals), text.substr(equals + 1)};
    if (SameName(tried.first, "server")) return true;
    for (int s = 0; s < kSettingCount; ++s)
        if (SameName(tried.first, SettingName(static_cast<Setting>(s)))) return true;
    problem = "\"" + tried.first + "\" is no setting";
    return false;
}

int CheckConfig(const std::vector<std::pair<std::string, std::string>>& tried) {
    FoundSettings found = ReadSettings();
    for (const auto& [name, value] : tried) {
        if (SameName(name, "server")) {
            found.serverMode = ParseProfileInt(value.c_str());
            continue;
        }
        for (int s = 0; s < kSettingCount; ++s)
            if (SameName(name, SettingName(static_cast<Setting>(s))))
                found.values[s] = FoundValue{FoundValue::kText, value, 0, {}};
    }
    // The lines the service would write to its console at the start, here to standard output.
    ConsoleMode = 1;
    std::string refusal;
    const bool starts = LoadSettingsFrom(found, refusal);
    if (starts)
        LogMessage("The configuration can be used: Zelkor would start in %s mode",
                   settings.serverMode != 0 ? "server" : "client");
    (void)std::fflush(stdout);
    return starts ? 0 : static_cast<int>(kSettingsRefused);
}
