#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/TextFile.h"

namespace {

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

FileRead ReadTextFile(const char* path, size_t maxBytes, FileOwner owner, std::string& text) {
    const bool own = owner == FileOwner::kThisUser;
    // O_NONBLOCK: a FIFO planted at the path must not hang the start.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (own ? O_NOFOLLOW : 0));
    if (fd < 0) {
        if (errno == ENOENT) return {FileRead::kMissing, nullptr, 0};
        if (errno == ELOOP) return {FileRead::kRefused, "it is a symbolic link", 0};
        return {FileRead::kFailed, "it cannot be opened", errno};
    }
    FileRead result{FileRead::kRead, nullptr, 0};
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        result = {FileRead::kFailed, "it cannot be examined", errno};
    } else if (!S_ISREG(info.st_mode)) {
        result = {FileRead::kRefused, "it is not a regular file", 0};
    } else if (own && info.st_uid != geteuid()) {
        result = {FileRead::kRefused, "it belongs to another user", 0};
    } else if (owner == FileOwner::kSecret && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        result = {FileRead::kRefused, "group or others may read or change it (chmod 600 it)", 0};
    } else {
        text.clear();
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                result = {FileRead::kFailed, "it cannot be read", errno};
                break;
            }
            if (n == 0) break;
            text.append(buffer, static_cast<size_t>(n));
            if (text.size() > maxBytes) {
                result = {FileRead::kRefused, "it is too large", 0};
                break;
            }
        }
    }
    close(fd);
    return result;
}

bool WriteFileAtomically(const char* path, const std::string& text, bool readableByAll, bool durable) {
    // mkostemp creates the file exclusively, mode 0600: nothing planted at the name is ever opened.
    std::string temporary = std::string(path) + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = (!readableByAll || fchmod(fd, 0644) == 0) && WriteAll(fd, text) && (!durable || fsync(fd) == 0);
    if (close(fd) != 0) ok = false;
    if (ok && rename(temporary.c_str(), path) == 0) return true;
    (void)unlink(temporary.c_str());
    return false;
}

// A folder others may write lets them rename what it holds: new entries always count here.
bool OthersMayChange(const char* path, bool, unsigned long& error) {
    error = 0;
    struct stat info {};
    if (lstat(path, &info) != 0) {
        error = static_cast<unsigned long>(errno);
        return true;
    }
    return S_ISLNK(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}
