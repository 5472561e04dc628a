#include "service/ServiceControl.h"

#include <atomic>
#include <mutex>

#include "base/Log.h"
#include "base/Platform.h"
#include "service/RunLoop.h"
#include "service/Thread.h"

namespace {

constexpr uint32_t kStartWaitHintMs = 3000;
constexpr uint32_t kStopWaitHintMs = 3000;

// Reports come from the control handler's thread and the service main thread; the lock keeps the record,
// the last state and the counter consistent between them.
struct ServiceStatusState {
    std::mutex lock;
    ServiceStatusRecord status{};
    uint32_t lastState = 0;
    uint32_t checkPoint = 0;
    uint32_t exitCode = 0;  // the service-specific code of the last stopped report
};

ServiceStatusState serviceStatus;
// Set once the run has reported the service running: its worker set up.
std::atomic<bool> runningReported{false};

}  // namespace

ServiceControlManager& CurrentServiceControl() {
    ServiceControlManager* manager = CurrentPlatform().serviceControl;
    return manager != nullptr ? *manager : PlatformServiceControl();
}

void ServiceManagerLog(Priority priority, EventKind kind, const char* text) {
    CurrentServiceControl().Log(priority, kind, text);
}

void ServiceManagerStatus(const char* summary, bool working) {
    CurrentServiceControl().Describe(summary, working);
    // The service runs once its worker has set up: a start whose settings or socket fail is a failed start,
    // never one reported as running that stops a moment later.
    if (working && !runningReported.exchange(true)) (void)ReportServiceStatus(kServiceRunning, 0, 0);
}

void ResetServiceStatus() {
    std::lock_guard<std::mutex> hold(serviceStatus.lock);
    serviceStatus.status = ServiceStatusRecord{};
    serviceStatus.lastState = 0;
    serviceStatus.checkPoint = 0;
    serviceStatus.exitCode = 0;
}

uint32_t ServiceExitCode() {
    std::lock_guard<std::mutex> hold(serviceStatus.lock);
    return serviceStatus.exitCode;
}

bool ReportServiceStatus(int32_t state, uint32_t exitCode, uint32_t waitHintMs, uint32_t specificCode) {
    bool accepted;
    {
        std::lock_guard<std::mutex> hold(serviceStatus.lock);
        if (state != kLastState) serviceStatus.lastState = static_cast<uint32_t>(state);
        const uint32_t current = serviceStatus.lastState;
        ServiceStatusRecord& s = serviceStatus.status;
        s.serviceType = kServiceWin32OwnProcess;
        s.currentState = current;
        // Nothing may be asked of a service that is still starting; from then on it can always be stopped.
        s.controlsAccepted = current == kServiceStartPending ? 0 : kServiceAcceptStop;
        s.win32ExitCode = exitCode;
        s.serviceSpecificExitCode = specificCode;
        if (current == kServiceStopped) serviceStatus.exitCode = specificCode;
        // Check-points count progress through pending states only.
        s.checkPoint =
            (current == kServiceRunning || current == kServiceStopped) ? 0 : serviceStatus.checkPoint++;
        s.waitHint = waitHintMs;
        accepted = CurrentServiceControl().SetStatus(s);
    }
    if (!accepted) SetStopEvent();
    return accepted;
}

void ServiceMainWith(uint32_t (*run)()) {
    if (!CurrentServiceControl().RegisterControlHandler()) return;
    runningReported.store(false);
    ReportServiceStatus(kServiceStartPending, 0, kStartWaitHintMs);
    const uint32_t failure = run();
    // A failure is reported as one: the manager shows the service stopped with its code.
    ReportServiceStatus(kServiceStopped, failure != 0 ? kErrorServiceSpecificError : 0, 0, failure);
}

void ServiceMain() {
    ServiceMainWith(RunTimeSync);
}

void ServiceControlHandler(uint32_t control) {
    if (control == kServiceControlStop) {
        ReportServiceStatus(kServiceStopPending, 0, kStopWaitHintMs);
        SetStopEvent();
        return;
    }
    ReportServiceStatus(kLastState, 0, 0);
}
