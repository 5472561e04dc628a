#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/Networks.h"

// The administrator's settings: read once, at start, into one record, and judged as a whole. A setting
// that is present but cannot be used refuses the start: Zelkor never runs without a defence it was told to
// keep.
//
// Linux: one INI file, /etc/zelkornt.ini or the file ZELKOR_CONFIG names; [ZelkorNT] server and the
// [Zelkor] settings. Windows: [ZelkorNT] server from zelkornt.ini in the Windows folder, the others
// registry values of the service (REG_DWORD numbers and yes/no, REG_SZ lists and paths).

enum class Setting {
    kOffset,
    kServers,
    kMaxStep,
    kKeys,
    kTrustedKeys,
    kBroadcastKey,
    kServiceLog,
    kRtcSync,
    kRateLimit,
    kRespond,
    kPreciseTime
};
constexpr int kSettingCount = 11;
const char* SettingName(Setting setting);  // "Offset", "Servers", ...
// Whether a name as written is this one: ASCII letters regardless of case, as profile files match names.
bool SameName(const std::string& written, const char* name);

// One setting as the platform found it, before it is judged.
struct FoundValue {
    enum Kind { kAbsent, kText, kNumber, kUnusable } kind = kAbsent;
    std::string text;     // kText: as written (an INI value, a REG_SZ)
    uint32_t number = 0;  // kNumber: a REG_DWORD
    std::string shown;    // kUnusable: what was found, for a log line ("of type 1 and 4 bytes")
};

struct FoundSettings {
    std::string source;    // where they were read, for log lines: the file's path, or the registry key
    std::string unusable;  // why the file cannot be used as a whole; empty when it can
    int serverMode = 0;
    bool serverModeFound = false;
    FoundValue values[kSettingCount];
    std::vector<std::string> unknown;    // one line per name this program does not know, for the log
    std::vector<std::string> misplaced;  // one line per setting of [Zelkor] given elsewhere: refused

    FoundValue& operator[](Setting s) { return values[static_cast<int>(s)]; }
    const FoundValue& operator[](Setting s) const { return values[static_cast<int>(s)]; }
};

// The settings in INI text (Linux). Section and setting names match regardless of case; a name given
// twice takes its last value. Unusable text leaves everything absent and says why.
FoundSettings SettingsFromIni(const std::string& text, const std::string& source);
// A later file's settings over the earlier ones (/etc/zelkor/conf.d after /etc/zelkornt.ini): each value
// it gives replaces the earlier one; its lines for the log name it; one that cannot be used makes the
// whole unusable.
void MergeSettings(FoundSettings& into, const FoundSettings& later);

// Registry values, decoded (Windows): result is RegQueryValueEx's, 0 (read), 234 (more data than the
// buffer held) or another error (no value). Only a 4-byte REG_DWORD is a number; only a REG_SZ a text, up
// to its first NUL or size bytes.
constexpr uint32_t kRegistryString = 1;
constexpr uint32_t kRegistryDword = 4;
constexpr long kRegistryRead = 0;
constexpr long kRegistryMoreData = 234;
FoundValue DwordFromRegistry(long result, uint32_t type, uint32_t size, const uint8_t value[4]);
FoundValue TextFromRegistry(long result, uint32_t type, uint32_t size, const char* value);
// Names in the sections of the Windows zelkornt.ini that Windows does not read (only [ZelkorNT] server).
std::vector<std::string> UnknownProfileNames(const std::vector<std::string>& sections,
                                             const std::vector<std::string>& modeKeys);

// What a value that cannot be used looked like, for a log line: "\"10s\"", "of type 1 and 4 bytes", or
// a REG_DWORD's number.
std::string Shown(const FoundValue& value);

struct Settings {
    int serverMode = 0;
    // Offset: the fixed one-way delay; unusable, the delay is measured (with a log line).
    FoundValue offset;
    bool fixedDelay = false;
    uint32_t offsetMs = 0;
    // Servers: broadcasts are followed only from these.
    bool serversConfigured = false;
    std::vector<AllowedNetwork> servers;
    // MaxStep: after the first correction, the corrections within any 600 s add up to at most this.
    uint32_t maxStepSeconds = 0;  // 0: no limit
    std::string keysPath;         // empty: no keys file
    // TrustedKeys: broadcasts are followed only under these keys.
    bool trustedConfigured = false;
    std::vector<uint32_t> trusted;
    uint32_t broadcastKey = 0;  // server mode signs with it; 0: not at all
    bool serviceLog = false;    // significant events go to the journal or the Event Log
    bool rtcSync = false;       // the kernel is told the clock is synchronised (Linux)
    bool respond = true;        // a client answers the requests of others
    // PreciseTime: time at the clock's full resolution, kernel receive times, the delay as the least of
    // several round trips, and a rate and phase fitted to the last broadcasts; server mode stamps at full
    // resolution and answers unsigned polls.
    bool preciseTime = false;
    // RateLimit: each source's requests are answered on average once every rateLimitSeconds, with bursts
    // of up to rateLimitBurst; the others are dropped. 0: every request is answered.
    uint32_t rateLimitSeconds = 0;
    uint32_t rateLimitBurst = 0;
};

// Servers entries with a shorter prefix admit most of the Internet, not a LAN's servers.
constexpr int kShortestServersPrefix = 8;
// RateLimit's bounds: a source may ask at most once a second on average, at least once an hour.
constexpr uint32_t kMaxRateLimitSeconds = 3600;
constexpr uint32_t kMaxRateLimitBurst = 1024;

// A line the judgement has for the log: what is in force, what is ignored, what refuses the start.
struct SettingLine {
    enum Kind { kInForce, kIgnored, kRefused } kind;
    std::string text;
};

// The settings in force. Lines say what is in force and what is ignored; false, with a kRefused line for
// each reason, when Zelkor must not start. Keys and the settings that name keys are judged apart
// (JudgeKeySettings, src/auth), once the keys file is read.
bool JudgeSettings(const FoundSettings& found, Settings& settings, std::vector<SettingLine>& lines);

// A setting's number: a REG_DWORD, or an INI value of decimal digits short enough to be read whole.
bool SettingNumber(const FoundValue& value, uint32_t& number);

// Platform: the settings, read once.
FoundSettings ReadSettings();
