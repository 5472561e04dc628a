// On Linux every setting lives in one INI file: /etc/zelkornt.ini, or the file ZELKOR_CONFIG names.
//   [ZelkorNT]  server=1    selects server mode
//   [Zelkor]    Offset=250  fixed one-way delay in milliseconds
//               Servers=10.1.2.3 10.1.0.0/16  the only senders whose broadcasts are followed
//               MaxStep=10  the largest correction within 600 s after the first, in seconds
//               Keys=/etc/zelkor/keys TrustedKeys=1 BroadcastKey=1  authenticated time
//               ServiceLog=yes  significant events to the journal
//               RtcSync=yes  the kernel is told the clock is synchronised

#include <cstdlib>
#include <string>

#include "base/TextFile.h"
#include "config/Settings.h"

namespace {

constexpr const char* kDefaultPath = "/etc/zelkornt.ini";
constexpr size_t kMaxFileBytes = 65536;

const char* ConfigPath() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read; nothing here calls setenv
    const char* path = std::getenv("ZELKOR_CONFIG");
    return path != nullptr && path[0] != '\0' ? path : kDefaultPath;
}

}  // namespace

FoundSettings ReadSettings() {
    const char* path = ConfigPath();
    std::string text;
    const FileRead read = ReadTextFile(path, kMaxFileBytes, FileOwner::kAnyone, text);
    // A missing file is no error: every setting is then absent.
    if (read.result == FileRead::kMissing) text.clear();
    FoundSettings found = SettingsFromIni(read.result == FileRead::kRead ? text : std::string(), path);
    if (read.result != FileRead::kRead && read.result != FileRead::kMissing) {
        found.unusable = read.reason;
        if (read.error != 0) found.unusable += " (" + std::to_string(read.error) + ")";
    }
    return found;
}
