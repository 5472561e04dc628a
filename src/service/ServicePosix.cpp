// The service under systemd: a Type=notify unit. Status reports become sd_notify messages, SIGTERM is
// the stop control and SIGHUP an interrogation, both taken by sigwait on the main thread, which plays
// the part of the service control dispatcher.

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

class SystemdServiceControl final : public ServiceControlManager {
  public:
    // The signals are routed to the dispatcher before the service main thread starts.
    bool RegisterControlHandler() override { return true; }

    // The worker's line replaces "Running" as the status systemctl shows, and stays there when the state
    // is reported again.
    // Once the stop is reported, the stop's own lines are the last word.
    void Describe(const char* summary) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_) return;
        (void)std::snprintf(summary_, sizeof summary_, "%s", summary);
        char message[320];
        (void)std::snprintf(message, sizeof message, "STATUS=%s", summary_);
        const NotifyFunction notify = Notify();
        if (notify != nullptr) (void)notify(0, message);
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
                std::lock_guard<std::mutex> hold(lock_);
                (void)std::snprintf(message, sizeof message, "READY=1\nSTATUS=%s",
                                    summary_[0] != '\0' ? summary_ : "Running");
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
            case kServiceStopped:
                (void)std::snprintf(message, sizeof message, "STATUS=Stopped");
                break;
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

void RunServiceDispatch() {
    // Only systemd starts the service; from a console there is nothing to connect to.
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any other thread exists
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || socket[0] == '\0') return;

    // Blocked before any thread starts, so every thread inherits the mask and only sigwait sees them.
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGINT);
    sigaddset(&controls, SIGHUP);
    sigaddset(&controls, kServiceEndedSignal);
    if (pthread_sigmask(SIG_BLOCK, &controls, nullptr) != 0) return;

    dispatcherThread = pthread_self();
    pthread_t serviceThread;
    if (pthread_create(&serviceThread, nullptr, RunServiceMain, nullptr) != 0) return;
    for (;;) {
        int signal = 0;
        if (sigwait(&controls, &signal) != 0) continue;
        if (signal == kServiceEndedSignal) break;
        ServiceControlHandler(signal == SIGHUP ? kServiceControlInterrogate : kServiceControlStop);
    }
    pthread_join(serviceThread, nullptr);
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
