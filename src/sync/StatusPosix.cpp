// The status file on Linux: /run/zelkor/status (systemd makes the folder for the service, as its
// RuntimeDirectory), or the file ZELKOR_STATUS names.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "sync/Status.h"

namespace {

constexpr const char* kDefaultFolder = "/run/zelkor";
constexpr const char* kDefaultPath = "/run/zelkor/status";

}  // namespace

std::string StatusFilePath() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read; nothing here calls setenv
    const char* path = std::getenv("ZELKOR_STATUS");
    return path != nullptr && path[0] != '\0' ? path : kDefaultPath;
}

bool PrepareStatusFolder(const std::string& path, std::string& problem) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    // Run from a console there is no RuntimeDirectory: the folder is made as systemd would make it.
    if (folder == kDefaultFolder) (void)mkdir(kDefaultFolder, 0755);
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        problem = "there is no folder " + folder;
        return false;
    }
    // The file is replaced by rename in its folder: whoever else may write there could swap it.
    if (info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        problem = "its folder " + folder + " is not this user's alone";
        return false;
    }
    return true;
}

unsigned long CurrentProcessId() {
    return static_cast<unsigned long>(getpid());
}
