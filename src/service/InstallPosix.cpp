// "add" and "remove" under systemd: the unit file /etc/systemd/system/zelkor.service (its text is
// src/service/zelkor.service.in), enabled for multi-user.target, and systemctl for everything the manager
// does with it.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "service/ErrorText.h"
#include "service/Installer.h"
#include "service/ServiceControl.h"
#include "service/SystemdUnit.h"
#include "service/UnitTemplate.h"

namespace {

constexpr const char* kUnitPath = "/etc/systemd/system/zelkor.service";
constexpr const char* kUnitName = "zelkor.service";
constexpr const char* kSystemdRunning = "/run/systemd/system";

constexpr const char* kProgramPlaceholder = "@ZELKORNT@";

// Never found through the caller's PATH, never given the caller's environment: add runs as root.
constexpr const char* kSystemctlPaths[] = {"/usr/bin/systemctl", "/bin/systemctl"};
constexpr const char* kSystemctlEnvironment[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C", nullptr};

// Folders the unit's sandbox hides from the service (ProtectHome=, PrivateTmp=, PrivateDevices=).
constexpr const char* kHiddenFolders[] = {"/home/", "/root/", "/run/user/", "/tmp/", "/var/tmp/", "/dev/"};

bool HasAccessList(const char* path) {
    return lgetxattr(path, "system.posix_acl_access", nullptr, 0) > 0;
}

// Runs systemctl with the arguments; its standard output goes to output when given, else nowhere.
// Returns its exit status, or -1 when it could not be run.
int Systemctl(std::initializer_list<const char*> arguments, std::string* output = nullptr) {
    const char* program = kSystemctlPaths[0];
    for (const char* candidate : kSystemctlPaths) {
        if (access(candidate, X_OK) == 0) {
            program = candidate;
            break;
        }
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("systemctl"));
    for (const char* a : arguments) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (output != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(),
                                    const_cast<char* const*>(kSystemctlEnvironment));
    posix_spawn_file_actions_destroy(&actions);
    if (output != nullptr) {
        close(pipeFds[1]);
        char buffer[256];
        ssize_t n;
        while (spawned == 0 && (n = read(pipeFds[0], buffer, sizeof buffer)) != 0) {
            if (n > 0)
                output->append(buffer, static_cast<size_t>(n));
            else if (errno != EINTR)
                break;
        }
        close(pipeFds[0]);
    }
    if (spawned != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The path as systemd reads it inside double quotes: backslash and quote escaped, % doubled (specifiers).
// False for a path no unit file can carry (control characters) or one too long for the buffer.
bool QuoteForUnit(const char* path, char* out, size_t size) {
    size_t n = 0;
    for (const char* p = path; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) return false;
        const bool escaped = c == '\\' || c == '"' || c == '%';
        if (n + (escaped ? 2 : 1) >= size) return false;
        if (escaped) out[n++] = c == '%' ? '%' : '\\';
        out[n++] = static_cast<char>(c);
    }
    out[n] = '\0';
    return true;
}

}  // namespace

bool SystemdUnitText(const char* program, std::string& unit) {
    char quoted[1100];
    if (!QuoteForUnit(program, quoted, sizeof quoted)) return false;
    unit = kUnitTemplate;
    const size_t at = unit.find(kProgramPlaceholder);
    if (at == std::string::npos) return false;
    unit.replace(at, std::strlen(kProgramPlaceholder), quoted);
    return true;
}

namespace {

class SystemdInstaller final : public ServiceInstaller {
  public:
    bool OwnPath(char* path, int size) override {
        const ssize_t n = readlink("/proc/self/exe", path, static_cast<size_t>(size));
        if (n < 0) return Failed(static_cast<uint32_t>(errno));
        // A path that fills the buffer may be cut short: refuse rather than install a wrong one.
        if (n >= size) return Failed(ENAMETOOLONG);
        path[n] = '\0';
        return true;
    }

    bool CheckProgram(const char* path) override {
        for (const char* hidden : kHiddenFolders)
            if (std::strncmp(path, hidden, std::strlen(hidden)) == 0) return Failed(kErrorProgramHidden);
        // The program and each folder up to / must be root's and writable by no one else: members of group
        // root are trusted as root is, unless an access list stands behind the group bits (they then show
        // its mask, which lets named users write too).
        std::string at = path;
        for (;;) {
            struct stat info {};
            if (lstat(at.c_str(), &info) != 0) return Failed(static_cast<uint32_t>(errno));
            const bool groupWrite =
                (info.st_mode & S_IWGRP) != 0 && (info.st_gid != 0 || HasAccessList(at.c_str()));
            // A link's own mode means nothing; who may replace it is the folder's to say.
            const bool othersWrite = !S_ISLNK(info.st_mode) && ((info.st_mode & S_IWOTH) != 0 || groupWrite);
            if (info.st_uid != 0 || othersWrite) return Failed(kErrorProgramWritable);
            if (at == "/") return true;
            const size_t slash = at.rfind('/');
            at = slash == 0 ? "/" : at.substr(0, slash);
        }
    }

    bool OpenManager() override {
        // Without a running systemd, systemctl would still write into /etc: check first, write nothing.
        if (access(kSystemdRunning, F_OK) != 0) return Failed(kErrorNoServiceManager);
        return true;
    }

    bool Create(const char* path) override {
        std::string unit;
        if (!SystemdUnitText(path, unit)) return Failed(EINVAL);
        const auto length = static_cast<ssize_t>(unit.size());
        // Written whole beside the unit, then linked into place: the unit appears complete or not at all,
        // and link() refuses to replace an existing one, which is left exactly as it is.
        if (access(kUnitPath, F_OK) == 0) return Failed(kErrorServiceExists);
        const std::string temporary = std::string(kUnitPath) + ".zelkor-new";
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return Failed(static_cast<uint32_t>(errno));
        const ssize_t n = write(fd, unit.data(), unit.size());
        int error = n == length ? 0 : (n < 0 ? errno : EIO);
        if (error == 0 && fsync(fd) != 0) error = errno;
        if (close(fd) != 0 && error == 0) error = errno;
        if (error == 0 && link(temporary.c_str(), kUnitPath) != 0) error = errno == EEXIST ? -1 : errno;
        (void)unlink(temporary.c_str());
        if (error == -1) return Failed(kErrorServiceExists);
        if (error != 0) return Failed(static_cast<uint32_t>(error));
        if (Systemctl({"daemon-reload"}) != 0 || Systemctl({"enable", "--quiet", kUnitName}) != 0)
            return Failed(kErrorServiceManagerFailed);
        return true;
    }

    // The unit's own sandboxing is its access control; systemd allows only root to manage it.
    bool Protect() override { return true; }
    // The journal takes any service's lines as they are.
    bool RegisterLogSource(const char*) override { return true; }
    void UnregisterLogSource() override {}

    bool Open() override {
        struct stat info {};
        if (stat(kUnitPath, &info) != 0)
            return Failed(errno == ENOENT ? kErrorServiceMissing : static_cast<uint32_t>(errno));
        return true;
    }

    bool Stop(uint32_t& state) override {
        uint32_t current = 0;
        if (!Query(current) || current == kServiceStopped) return false;
        if (Systemctl({"stop", "--no-block", kUnitName}) != 0) return false;
        if (!Query(state)) state = kServiceStopPending;
        return true;
    }

    bool Query(uint32_t& state) override {
        std::string active;
        if (Systemctl({"show", "--property=ActiveState", "--value", kUnitName}, &active) != 0)
            return Failed(kErrorServiceManagerFailed);
        while (!active.empty() && (active.back() == '\n' || active.back() == ' ')) active.pop_back();
        if (active == "inactive" || active == "failed")
            state = kServiceStopped;
        else if (active == "deactivating")
            state = kServiceStopPending;
        else if (active == "activating")
            state = kServiceStartPending;
        else
            state = kServiceRunning;
        return true;
    }

    bool Delete() override {
        if (Systemctl({"disable", "--quiet", kUnitName}) != 0) return Failed(kErrorServiceManagerFailed);
        // A unit that ended in failure would otherwise stay listed as failed after it is gone.
        (void)Systemctl({"reset-failed", kUnitName});
        if (unlink(kUnitPath) != 0) return Failed(static_cast<uint32_t>(errno));
        if (Systemctl({"daemon-reload"}) != 0) return Failed(kErrorServiceManagerFailed);
        return true;
    }

    void CloseService() override {}
    void CloseManager() override {}
    void Sleep(uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
    uint32_t LastError() override { return lastError_; }

  private:
    bool Failed(uint32_t code) {
        lastError_ = code;
        return false;
    }

    uint32_t lastError_ = 0;
};

}  // namespace

ServiceInstaller& PlatformInstaller() {
    static SystemdInstaller installer;
    return installer;
}
