// The service under systemd: a Type=notify unit. Status reports become sd_notify messages, SIGTERM is
// the stop control and SIGHUP an interrogation, both taken by sigwait on the main thread, which plays
// the part of the service control dispatcher. The service is ready (READY=1) once its worker has set up,
// so a start whose worker cannot (the port held) fails as a start. Log lines go to the journal: to
// standard error with the priority prefix journald reads, or to syslog when standard error is not the
// journal's.

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/Log.h"
#include "service/ErrorText.h"
#include "service/Service.h"
#include "service/ServiceControl.h"

namespace {

constexpr int kServiceEndedSignal = SIGUSR1;

// libsystemd is loaded only when systemd runs the service: the console and the responder's hot path
// never map it (it and its dependencies would double the daemon's resident memory).
using NotifyFunction = decltype(&sd_notify);

NotifyFunction Notify() {
    static const NotifyFunction notify = []() -> NotifyFunction {
        void* library = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
        return library != nullptr ? reinterpret_cast<NotifyFunction>(dlsym(library, "sd_notify")) : nullptr;
    }();
    return notify;
}

// Whether standard error is the journal's stream: systemd says which in JOURNAL_STREAM ("device:inode").
bool StandardErrorIsJournal() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any other thread exists
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    char* end = nullptr;
    const unsigned long long device = std::strtoull(stream, &end, 10);
    if (end == stream || *end != ':') return false;
    const char* at = end + 1;
    const unsigned long long inode = std::strtoull(at, &end, 10);
    struct stat info {};
    return end != at && *end == '\0' && fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device &&
           info.st_ino == inode;
}

class SystemdServiceControl final : public ServiceControlManager {
  public:
    // The signals are routed to the dispatcher before the service main thread starts.
    bool RegisterControlHandler() override {
        journal_ = StandardErrorIsJournal();
        if (!journal_) openlog("zelkornt", LOG_PID, LOG_DAEMON);
        return true;
    }

    // The worker's line replaces "Running" as the status systemctl shows, and stays there when the state
    // is reported again. The first line of a worker that has set up makes the service ready.
    // Once the stop is reported, the stop's own lines are the last word.
    void Describe(const char* summary, bool working) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_) return;
        (void)std::snprintf(summary_, sizeof summary_, "%s", summary);
        char message[320];
        const bool ready = working && !ready_;
        ready_ = ready_ || working;
        (void)std::snprintf(message, sizeof message, "%sSTATUS=%s", ready ? "READY=1\n" : "", summary_);
        const NotifyFunction notify = Notify();
        if (notify != nullptr) (void)notify(0, message);
    }

    void Log(Priority priority, EventKind, const char* text) override {
        if (!journal_) {
            syslog(static_cast<int>(priority), "%s", text);
            return;
        }
        char line[600];
        int n = std::snprintf(line, sizeof line - 1, "<%d>%s", static_cast<int>(priority), text);
        if (n < 0) return;
        if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
        line[n++] = '\n';
        // One write per line: journald takes each line with its own prefix. A journal that cannot take it
        // loses it; there is nowhere else to say so.
        std::lock_guard<std::mutex> hold(logLock_);
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line, static_cast<size_t>(n));
    }

    bool SetStatus(const ServiceStatusRecord& status) override {
        const unsigned long long extendUs = static_cast<unsigned long long>(status.waitHint) * 1000ULL;
        char message[320];
        switch (status.currentState) {
            case kServiceStartPending:
                (void)std::snprintf(message, sizeof message,
                                    "STATUS=Starting (check-point %u)\nEXTEND_TIMEOUT_USEC=%llu",
                                    status.checkPoint, extendUs);
                break;
            case kServiceRunning: {
                // Ready comes with the worker's first line; until then the status says what it is.
                std::lock_guard<std::mutex> hold(lock_);
                (void)std::snprintf(message, sizeof message, "%sSTATUS=%s", ready_ ? "READY=1\n" : "",
                                    summary_[0] != '\0' ? summary_ : "Starting");
                break;
            }
            case kServiceStopPending: {
                std::lock_guard<std::mutex> hold(lock_);
                stopping_ = true;
                (void)std::snprintf(message, sizeof message,
                                    "STOPPING=1\nSTATUS=Stopping (check-point %u)\nEXTEND_TIMEOUT_USEC=%llu",
                                    status.checkPoint, extendUs);
                break;
            }
            case kServiceStopped: {
                std::lock_guard<std::mutex> hold(lock_);
                // A failure's line stays the last word: systemctl shows it beside the failed unit.
                if (status.serviceSpecificExitCode != 0)
                    (void)std::snprintf(message, sizeof message, "STATUS=Failed: %s", summary_);
                else
                    (void)std::snprintf(message, sizeof message, "STATUS=Stopped");
                break;
            }
            default:
                (void)std::snprintf(message, sizeof message, "STATUS=State %u", status.currentState);
                break;
        }
        const NotifyFunction notify = Notify();
        // No library, an error, or 0 (no manager listening): all refused.
        return notify != nullptr && notify(0, message) > 0;
    }

  private:
    std::mutex lock_;  // the worker describes, the control handler's thread reports
    char summary_[256] = {};
    bool stopping_ = false;
    bool ready_ = false;
    bool journal_ = false;
    std::mutex logLock_;
};

pthread_t dispatcherThread;

void* RunServiceMain(void*) {
    ServiceMain();
    pthread_kill(dispatcherThread, kServiceEndedSignal);
    return nullptr;
}

}  // namespace

ServiceControlManager& PlatformServiceControl() {
    static SystemdServiceControl manager;
    return manager;
}

int RunServiceDispatch() {
    // Only systemd starts the service; from a console there is nothing to connect to.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any other thread exists
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || socket[0] == '\0') return 0;

    // Blocked before any thread starts, so every thread inherits the mask and only sigwait sees them.
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGINT);
    sigaddset(&controls, SIGHUP);
    sigaddset(&controls, kServiceEndedSignal);
    if (pthread_sigmask(SIG_BLOCK, &controls, nullptr) != 0) return 0;

    dispatcherThread = pthread_self();
    pthread_t serviceThread;
    if (pthread_create(&serviceThread, nullptr, RunServiceMain, nullptr) != 0) return 0;
    for (;;) {
        int signal = 0;
        if (sigwait(&controls, &signal) != 0) continue;
        if (signal == kServiceEndedSignal) break;
        ServiceControlHandler(signal == SIGHUP ? kServiceControlInterrogate : kServiceControlStop);
    }
    pthread_join(serviceThread, nullptr);
    // The failure's code is the exit status: systemd shows the unit failed, with it.
    return static_cast<int>(ServiceExitCode());
}

int SystemMessageText(uint32_t code, char* text, int size) {
    char buffer[256];
    const char* message;
    switch (code) {
        case kErrorNoServiceManager:
            message = "This system is not running systemd (there is no /run/systemd/system).";
            break;
        case kErrorServiceExists:
            message = "The service zelkor.service is already installed.";
            break;
        case kErrorServiceMissing:
            message = "The service zelkor.service is not installed.";
            break;
        case kErrorServiceManagerFailed:
            message = "systemctl failed.";
            break;
        case kErrorProgramWritable:
            message =
                "The program or a folder above it can be changed by users other than root; install it "
                "where only root can write, such as /usr/local/sbin.";
            break;
        case kErrorProgramHidden:
            message =
                "The service cannot run a program under /home, /root, /run/user, /tmp, /var/tmp or "
                "/dev, which its sandbox hides; install it elsewhere, such as /usr/local/sbin.";
            break;
        default:
            // glibc makes up "Unknown error N" for codes it has no text for; those have none.
            if (code > 0x7FFFFFFF || strerrorname_np(static_cast<int>(code)) == nullptr) return 0;
            message = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
            break;
    }
    return OwnMessageText(message, text, size);
}
