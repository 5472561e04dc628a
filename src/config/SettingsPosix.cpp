// On Linux the settings are INI files: /etc/zelkornt.ini (or the file ZELKOR_CONFIG names), the package's,
// then every *.ini in /etc/zelkor/conf.d (or the folder ZELKOR_CONFDIR names) in name order, the site's:
// a later value replaces an earlier one, and all are judged as one configuration.
//   [ZelkorNT]  server=1    selects server mode
//   [Zelkor]    Offset=250  fixed one-way delay in milliseconds
//               Servers=10.1.2.3 10.1.0.0/16  the only senders whose broadcasts are followed
//               MaxStep=10  the largest correction within 600 s after the first, in seconds
//               Keys=/etc/zelkor/keys TrustedKeys=1 BroadcastKey=1  authenticated time
//               ServiceLog=yes  significant events to the journal
//               RtcSync=yes  the kernel is told the clock is synchronised

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/TextFile.h"
#include "config/Settings.h"

namespace {

constexpr const char* kDefaultPath = "/etc/zelkornt.ini";
constexpr const char* kDefaultFolder = "/etc/zelkor/conf.d";
constexpr size_t kMaxFileBytes = 65536;

const char* ConfigPath() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read; nothing here calls setenv
    const char* path = std::getenv("ZELKOR_CONFIG");
    return path != nullptr && path[0] != '\0' ? path : kDefaultPath;
}

// The settings of one file; a missing file gives none.
FoundSettings ReadIniFile(const std::string& path) {
    std::string text;
    const FileRead read = ReadTextFile(path.c_str(), kMaxFileBytes, FileOwner::kAnyone, text);
    FoundSettings found = SettingsFromIni(read.result == FileRead::kRead ? text : std::string(), path);
    if (read.result != FileRead::kRead && read.result != FileRead::kMissing) {
        found.unusable = read.reason;
        if (read.error != 0) found.unusable += " (" + std::to_string(read.error) + ")";
    }
    return found;
}

const char* ConfigFolder() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read; nothing here calls setenv
    const char* folder = std::getenv("ZELKOR_CONFDIR");
    return folder != nullptr && folder[0] != '\0' ? folder : kDefaultFolder;
}

}  // namespace

FoundSettings ReadSettings() {
    FoundSettings found = ReadIniFile(ConfigPath());
    const std::string folder = ConfigFolder();
    DIR* d = opendir(folder.c_str());
    if (d == nullptr) {
        // No folder: no site settings. One there that cannot be read is a configuration not read whole.
        if (errno != ENOENT && errno != ENOTDIR && found.unusable.empty()) {
            found.source = folder;
            found.unusable = "the folder cannot be read (" + std::to_string(errno) + ")";
        }
        return found;
    }
    std::vector<std::string> names;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread reads the folder, before the worker exists
    while (const dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name[0] != '.' && name.compare(name.size() - 4, 4, ".ini") == 0)
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        MergeSettings(found, ReadIniFile(std::string(folder).append("/").append(name)));
    return found;
}