// On Linux both settings live in one INI file: /etc/zelkornt.ini, or the file ZELKOR_CONFIG names.
//   [ZelkorNT]  server=1    selects server mode
//   [Zelkor]    Offset=250  fixed one-way delay in milliseconds

#include <ini.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sync/Config.h"

namespace {

constexpr const char* kDefaultPath = "/etc/zelkornt.ini";

struct Lookup {
    const char* section;
    const char* key;
    bool found;
    bool tooLong;  // the value did not fit: never to be read cut short
    char value[64];
};

// Section and key names match regardless of case, as profile files do on Windows; the last one wins.
int Collect(void* user, const char* section, const char* name, const char* value) {
    auto* lookup = static_cast<Lookup*>(user);
    if (strcasecmp(section, lookup->section) == 0 && strcasecmp(name, lookup->key) == 0) {
        lookup->found = true;
        const int n = std::snprintf(lookup->value, sizeof lookup->value, "%s", value);
        lookup->tooLong = n < 0 || n >= static_cast<int>(sizeof lookup->value);
    }
    return 1;
}

Lookup Find(const char* section, const char* key, const char* text = nullptr) {
    Lookup lookup{section, key, false, false, {}};
    if (text != nullptr) {
        (void)ini_parse_string(text, Collect, &lookup);  // bad lines are skipped, as profile files are
        return lookup;
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read; nothing here calls setenv
    const char* path = std::getenv("ZELKOR_CONFIG");
    (void)ini_parse(path != nullptr && path[0] != '\0' ? path : kDefaultPath, Collect, &lookup);
    return lookup;
}

int ServerModeFrom(const Lookup& lookup) {
    return lookup.found ? ParseProfileInt(lookup.value) : 0;
}

ConfiguredDelay DelayFrom(const Lookup& lookup) {
    ConfiguredDelay result{ConfiguredDelay::kNotConfigured, 0, {}};
    if (!lookup.found) return result;
    (void)std::snprintf(result.text, sizeof result.text, "\"%s\"", lookup.value);
    result.kind = !lookup.tooLong && ParseMilliseconds(lookup.value, result.milliseconds)
                      ? ConfiguredDelay::kConfigured
                      : ConfiguredDelay::kUnusable;
    return result;
}

}  // namespace

int ReadServerMode() {
    return ServerModeFrom(Find("ZelkorNT", "server"));
}

ConfiguredDelay ReadConfiguredDelay() {
    return DelayFrom(Find("Zelkor", "Offset"));
}

int ServerModeFromText(const char* text) {
    return ServerModeFrom(Find("ZelkorNT", "server", text));
}

ConfiguredDelay ConfiguredDelayFromText(const char* text) {
    return DelayFrom(Find("Zelkor", "Offset", text));
}
