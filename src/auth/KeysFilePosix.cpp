// The keys file on POSIX: refused when group or others may read or change it. The service reads the copy
// systemd passes it (LoadCredential=), the file's own mode still judged.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "auth/Keys.h"
#include "base/TextFile.h"

FileRead ReadKeysFile(const std::string& path, size_t maxBytes, std::string& text) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read; nothing here calls setenv
    const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
    const std::string copy = folder != nullptr && folder[0] == '/' ? std::string(folder) + "/keys" : "";
    struct stat info {};
    // stat's reason is kept before anything else can change errno.
    const bool original = stat(path.c_str(), &info) == 0;
    const int originalError = original ? 0 : errno;
    // Without the file the copy is the unit's fallback text: then the path itself says what is wrong.
    if (path != kServiceKeysPath || copy.empty() || originalError == ENOENT ||
        access(copy.c_str(), F_OK) != 0)
        return ReadTextFile(path.c_str(), maxBytes, FileOwner::kSecret, text);
    // The copy is this user's, mode 0400, whatever the file's own mode: that one is judged here.
    if (original && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return {FileRead::kRefused, "group or others may read or change it (chmod 600 it)", 0};
    return ReadTextFile(copy.c_str(), maxBytes, FileOwner::kSecret, text);
}
