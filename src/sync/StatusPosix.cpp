// The status file on Linux: /run/zelkor/status (systemd makes the folder for the service, as its
// RuntimeDirectory), or the file ZELKOR_STATUS names.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/TextFile.h"
#include "sync/Status.h"

namespace {

constexpr const char* kDefaultFolder = "/run/zelkor";
constexpr const char* kDefaultPath = "/run/zelkor/status";

// Held for the life of the process: the claim on the status file.
int lockFd = -1;
std::string lockedPath;

}  // namespace

std::string StatusFilePath() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the environment is only read; nothing here calls setenv
    const char* path = std::getenv("ZELKOR_STATUS");
    return path != nullptr && path[0] != '\0' ? path : kDefaultPath;
}

namespace {

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A service with a dynamic user whose folder outlives it finds /run/zelkor a link to /run/private/zelkor.
// A link only root could have made (root's, in a folder only root may change) is followed, once, here,
// and the file kept where it leads; any other link is refused below, as ever.
void FollowRootsLink(std::string& path) {
    const std::string folder = FolderOf(path);
    struct stat link {}, above {};
    if (lstat(folder.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) || link.st_uid != 0) return;
    if (lstat(FolderOf(folder).c_str(), &above) != 0 || !S_ISDIR(above.st_mode) || above.st_uid != 0 ||
        (above.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return;
    char* resolved = realpath(folder.c_str(), nullptr);
    if (resolved == nullptr) return;
    path = std::string(resolved) + path.substr(folder.size());
    std::free(resolved);
}

}  // namespace

bool PrepareStatusFolder(std::string& path, std::string& problem) {
    // Run from a console there is no RuntimeDirectory: the folder is made as systemd would make it
    // (readable by all, whatever the umask).
    if (FolderOf(path) == kDefaultFolder && mkdir(kDefaultFolder, 0755) == 0) (void)chmod(kDefaultFolder, 0755);
    FollowRootsLink(path);
    const std::string folder = FolderOf(path);
    struct stat info {};
    unsigned long error = 0;
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        problem = "there is no folder " + folder;
        return false;
    }
    // The file is replaced by rename in its folder: whoever else may write there could swap it.
    if (OthersMayChange(folder.c_str(), true, error)) {
        problem = "its folder " + folder + " is not this user's alone";
        return false;
    }
    // One writer: a second instance (a dry run beside the service) must not overwrite the first one's.
    const std::string lock = path + ".lock";
    if (lockFd >= 0 && lockedPath != lock) {
        close(lockFd);
        lockFd = -1;
    }
    if (lockFd < 0) {
        const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            // A link planted at the lock's name is never followed; say what is there.
            problem = errno == ELOOP
                          ? "its lock " + lock + " is a symbolic link"
                          : "its lock " + lock + " cannot be opened (" + std::to_string(errno) + ")";
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            problem = "another Zelkor keeps it";
            return false;
        }
        lockFd = fd;
        lockedPath = lock;
    }
    return true;
}

unsigned long CurrentProcessId() {
    return static_cast<unsigned long>(getpid());
}
