#include <string>
#include <vector>

#include "auth/Keys.h"
#include "base/Log.h"
#include "sync/Sntp.h"

Settings settings;
Authentication authentication;

bool LoadSettings(std::string& refusal) {
    const FoundSettings found = ReadSettings();
    std::vector<SettingLine> lines;
    bool ok = JudgeSettings(found, settings, lines);
    authentication = Authentication{};
    if (!settings.keysPath.empty() && !LoadKeysFile(settings.keysPath, authentication.keys, lines))
        ok = false;
    if (found.unusable.empty() && !JudgeKeySettings(found, KeyIds(authentication.keys), settings, lines))
        ok = false;
    // The events of this run go to the service log from here on, the lines below included.
    SetServiceLogEvents(settings.serviceLog);
    refusal.clear();
    for (const SettingLine& line : lines) {
        switch (line.kind) {
            case SettingLine::kInForce:
                LogMessage("%s", line.text.c_str());
                break;
            case SettingLine::kIgnored:
                LogEvent(Priority::kWarning, "%s", line.text.c_str());
                break;
            case SettingLine::kRefused: {
                const std::string text = line.text + "; Zelkor does not start";
                LogFailure("%s", text.c_str());
                if (refusal.empty()) refusal = text;
                break;
            }
        }
    }
    if (!ok) {
        authentication = Authentication{};
        return false;
    }
    return true;
}
