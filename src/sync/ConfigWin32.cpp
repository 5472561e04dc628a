// On Windows the mode is a private profile integer; the delay and the defences are registry values of the
// service.

#include <windows.h>

#include "sync/Config.h"
#include "time/TextFile.h"

namespace {

constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Zelkor";
// A list of 64 subnets with their separators fits in far less.
constexpr DWORD kMaxListBytes = 4096;

ConfiguredNumber ReadDword(const char* name) {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kServiceKey, &key) != ERROR_SUCCESS)
        return ConfiguredNumber{ConfiguredNumber::kNotConfigured, 0, {}};
    uint8_t value[4] = {};
    DWORD type = 0;
    DWORD size = sizeof value;
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, value, &size);
    RegCloseKey(key);
    return DelayFromRegistryValue(result, type, size, value);
}

ConfiguredText ReadString(const char* name) {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kServiceKey, &key) != ERROR_SUCCESS)
        return ConfiguredText{ConfiguredNumber::kNotConfigured, {}, {}};
    char value[kMaxListBytes];
    DWORD type = 0;
    DWORD size = sizeof value;
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return TextFromRegistryValue(result, type, result == ERROR_MORE_DATA ? kMaxListBytes : size, value);
}

}  // namespace

int ReadServerMode() {
    return static_cast<int>(GetPrivateProfileIntA("ZelkorNT", "server", 0, "zelkornt.ini"));
}

ConfiguredDelay ReadConfiguredDelay() {
    return ReadDword("Offset");
}

ConfiguredNumber ReadMaxStep() {
    return ReadDword("MaxStep");
}

ConfiguredText ReadServers() {
    return ReadString("Servers");
}

ConfiguredText ReadKeysPath() {
    return ReadString("Keys");
}

FileRead ReadKeysFile(const std::string& path, size_t maxBytes, std::string& text) {
    return ReadTextFile(path.c_str(), maxBytes, FileOwner::kSecret, text);
}

ConfiguredText ReadTrustedKeys() {
    return ReadString("TrustedKeys");
}

ConfiguredNumber ReadBroadcastKey() {
    return ReadDword("BroadcastKey");
}
