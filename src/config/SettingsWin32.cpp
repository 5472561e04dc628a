// On Windows the mode is a private profile integer; the other settings are registry values of the
// service, read once each at start.

#include <windows.h>

#include <string>
#include <vector>

#include "base/TextFile.h"
#include "config/Settings.h"

namespace {

constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Zelkor";
constexpr const char* kProfile = "zelkornt.ini";
// A list of 64 subnets with their separators fits in far less.
constexpr DWORD kMaxListBytes = 4096;
constexpr DWORD kMaxNamesBytes = 4096;

FoundValue ReadDword(HKEY key, const char* name) {
    uint8_t value[4] = {};
    DWORD type = 0;
    DWORD size = sizeof value;
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, value, &size);
    return DwordFromRegistry(result, type, size, value);
}

FoundValue ReadString(HKEY key, const char* name) {
    char value[kMaxListBytes];
    DWORD type = 0;
    DWORD size = sizeof value;
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    return TextFromRegistry(result, type, result == ERROR_MORE_DATA ? kMaxListBytes : size, value);
}

// The NUL-separated names GetPrivateProfileString gives for a null section or key.
std::vector<std::string> ProfileNames(const char* section) {
    std::vector<char> buffer(kMaxNamesBytes);
    const DWORD n = GetPrivateProfileStringA(section, nullptr, "", buffer.data(), kMaxNamesBytes, kProfile);
    std::vector<std::string> names;
    for (DWORD at = 0; at < n;) {
        const std::string name(buffer.data() + at);
        if (name.empty()) break;
        names.push_back(name);
        at += static_cast<DWORD>(name.size()) + 1;
    }
    return names;
}

}  // namespace

FoundSettings ReadSettings() {
    FoundSettings found;
    found.source = std::string("HKLM\\") + kServiceKey;
    found.serverMode = static_cast<int>(GetPrivateProfileIntA("ZelkorNT", "server", 0, kProfile));
    found.unknown = UnknownProfileNames(ProfileNames(nullptr), ProfileNames("ZelkorNT"));
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kServiceKey, &key) != ERROR_SUCCESS) return found;
    for (const Setting s : {Setting::kOffset, Setting::kMaxStep, Setting::kBroadcastKey, Setting::kServiceLog,
                            Setting::kRespond, Setting::kPreciseTime})
        found[s] = ReadDword(key, SettingName(s));
    for (const Setting s : {Setting::kServers, Setting::kKeys, Setting::kTrustedKeys, Setting::kRateLimit})
        found[s] = ReadString(key, SettingName(s));
    RegCloseKey(key);
    return found;
}
