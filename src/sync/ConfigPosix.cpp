// On Linux both settings live in one INI file: /etc/zelkornt.ini, or the file ZELKOR_CONFIG names.
//   [ZelkorNT]  server=1    selects server mode
//   [Zelkor]    Offset=250  fixed one-way delay in milliseconds
//               Servers=10.1.2.3 10.1.0.0/16  the only senders whose broadcasts are followed
//               MaxStep=10  the largest correction after the first, in seconds
//               Keys=/etc/zelkor/keys TrustedKeys=1 BroadcastKey=1  authenticated time

#include <ini.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sync/Config.h"
#include "sync/Log.h"
#include "time/TextFile.h"

namespace {

constexpr const char* kDefaultPath = "/etc/zelkornt.ini";
constexpr size_t kMaxFileBytes = 65536;
// libinih reads a line in pieces of at most 199 bytes and takes the rest as a line of its own: a long
// comment could then end in a setting. Lines of up to 198 characters and a line end are read whole.
constexpr size_t kMaxLineCharacters = 198;

// A number's value is at most this long: a longer one is never read cut short.
constexpr size_t kMaxNumberCharacters = 63;

struct Lookup {
    const char* section;
    const char* key;
    bool found;
    std::string value;
};

// Section and key names match regardless of case, as profile files do on Windows; the last one wins.
int Collect(void* user, const char* section, const char* name, const char* value) {
    auto* lookup = static_cast<Lookup*>(user);
    if (strcasecmp(section, lookup->section) == 0 && strcasecmp(name, lookup->key) == 0) {
        lookup->found = true;
        lookup->value = value;
    }
    return 1;
}

// Why the parser must not be given the text, or empty.
std::string TextProblem(const std::string& text) {
    if (text.find('\0') != std::string::npos) return "it holds a NUL byte";
    if (const size_t line = FirstLineLongerThan(text, kMaxLineCharacters))
        return "line " + std::to_string(line) + " is longer than " + std::to_string(kMaxLineCharacters) +
               " characters";
    return "";
}

const char* ConfigPath() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read; nothing here calls setenv
    const char* path = std::getenv("ZELKOR_CONFIG");
    return path != nullptr && path[0] != '\0' ? path : kDefaultPath;
}

// The file's text; a missing file reads as empty. False, with the reason, when it cannot be used.
bool ReadConfigFile(std::string& text, std::string& problem) {
    const FileRead read = ReadTextFile(ConfigPath(), kMaxFileBytes, FileOwner::kAnyone, text);
    if (read.result == FileRead::kMissing) {
        text.clear();
        return true;
    }
    if (read.result != FileRead::kRead) {
        problem = read.reason;
        if (read.error != 0) problem += " (" + std::to_string(read.error) + ")";
        return false;
    }
    problem = TextProblem(text);
    return problem.empty();
}

Lookup FindIn(const std::string& text, const char* section, const char* key) {
    Lookup lookup{section, key, false, {}};
    // Unusable text gives nothing: a setting read from half a line could be anything. Within usable text,
    // bad lines are skipped, as profile files skip them.
    if (TextProblem(text).empty()) (void)ini_parse_string(text.c_str(), Collect, &lookup);
    return lookup;
}

Lookup Find(const char* section, const char* key) {
    std::string text, problem;
    if (!ReadConfigFile(text, problem)) return Lookup{section, key, false, {}};
    return FindIn(text, section, key);
}

int ServerModeFrom(const Lookup& lookup) {
    return lookup.found ? ParseProfileInt(lookup.value.c_str()) : 0;
}

ConfiguredNumber NumberFrom(const Lookup& lookup) {
    ConfiguredNumber result{ConfiguredNumber::kNotConfigured, 0, {}};
    if (!lookup.found) return result;
    const std::string shown = lookup.value.substr(0, kMaxNumberCharacters);
    (void)std::snprintf(result.text, sizeof result.text, "\"%s\"", shown.c_str());
    result.kind = shown.size() == lookup.value.size() && ParseCount(lookup.value.c_str(), result.value)
                      ? ConfiguredNumber::kConfigured
                      : ConfiguredNumber::kUnusable;
    return result;
}

ConfiguredText TextFrom(const Lookup& lookup) {
    ConfiguredText result{ConfiguredNumber::kNotConfigured, {}, {}};
    if (!lookup.found) return result;
    result.kind = ConfiguredNumber::kConfigured;
    result.value = lookup.value;
    return result;
}

}  // namespace

int ReadServerMode() {
    std::string text, problem;
    // Said once, here, where the run begins; the delay's reading finds the same and stays silent.
    if (!ReadConfigFile(text, problem)) {
        LogMessage("Configuration file \"%s\" is unusable: %s; its settings are ignored", ConfigPath(),
                   problem.c_str());
        return 0;
    }
    return ServerModeFrom(FindIn(text, "ZelkorNT", "server"));
}

ConfiguredDelay ReadConfiguredDelay() {
    return NumberFrom(Find("Zelkor", "Offset"));
}

ConfiguredText ReadServers() {
    return TextFrom(Find("Zelkor", "Servers"));
}

ConfiguredNumber ReadMaxStep() {
    return NumberFrom(Find("Zelkor", "MaxStep"));
}

ConfiguredText ReadKeysPath() {
    return TextFrom(Find("Zelkor", "Keys"));
}

FileRead ReadKeysFile(const std::string& path, size_t maxBytes, std::string& text) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read; nothing here calls setenv
    const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
    const std::string copy = folder != nullptr && folder[0] == '/' ? std::string(folder) + "/keys" : "";
    struct stat info {};
    // Without the file the copy is the unit's fallback text: then the path itself says what is wrong.
    const bool original = stat(path.c_str(), &info) == 0;
    if (path != kServiceKeysPath || copy.empty() || access(copy.c_str(), F_OK) != 0 ||
        (!original && errno == ENOENT))
        return ReadTextFile(path.c_str(), maxBytes, FileOwner::kSecret, text);
    // The copy is this user's, mode 0400, whatever the file's own mode: that one is judged here.
    if (original && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return {FileRead::kRefused, "group or others may read or change it (chmod 600 it)", 0};
    return ReadTextFile(copy.c_str(), maxBytes, FileOwner::kSecret, text);
}

ConfiguredText ReadTrustedKeys() {
    return TextFrom(Find("Zelkor", "TrustedKeys"));
}

ConfiguredNumber ReadBroadcastKey() {
    return NumberFrom(Find("Zelkor", "BroadcastKey"));
}

int ServerModeFromText(const char* text) {
    return ServerModeFrom(FindIn(text, "ZelkorNT", "server"));
}

ConfiguredDelay ConfiguredDelayFromText(const char* text) {
    return NumberFrom(FindIn(text, "Zelkor", "Offset"));
}

ConfiguredText ServersFromText(const char* text) {
    return TextFrom(FindIn(text, "Zelkor", "Servers"));
}

ConfiguredNumber MaxStepFromText(const char* text) {
    return NumberFrom(FindIn(text, "Zelkor", "MaxStep"));
}
