#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "stat/Process.h"

bool ProcessRunning(unsigned long pid) {
    if (pid == 0 || pid > 0x7FFFFFFF) return false;
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    // A number used again by another program is no Zelkor; where /proc does not tell, the number decides.
    const int fd = open(("/proc/" + std::to_string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char name[32] = {};
    const ssize_t n = read(fd, name, sizeof name - 1);
    close(fd);
    if (n <= 0) return true;
    return std::strcmp(name, "zelkornt\n") == 0;
}
