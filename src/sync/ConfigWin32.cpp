// On Windows the mode is a private profile integer and the delay a registry value of the service.

#include <windows.h>

#include "sync/Config.h"

int ReadServerMode() {
    return static_cast<int>(GetPrivateProfileIntA("ZelkorNT", "server", 0, "zelkornt.ini"));
}

ConfiguredDelay ReadConfiguredDelay() {
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Zelkor", &key) != ERROR_SUCCESS)
        return ConfiguredDelay{ConfiguredDelay::kNotConfigured, 0, {}};
    uint8_t value[4] = {};
    DWORD type = 0;
    DWORD size = sizeof value;
    const LONG result = RegQueryValueExA(key, "Offset", nullptr, &type, value, &size);
    RegCloseKey(key);
    return DelayFromRegistryValue(result, type, size, value);
}
