#pragma once

#include <cstdint>

// The service's side of the platform's service manager: one status record, reported through one
// function, and the control handler. The rules here are the same on every platform.

constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr int32_t kLastState = -1;
constexpr const char* kServiceName = "Zelkor";

struct ServiceStatusRecord {
    uint32_t serviceType;
    uint32_t currentState;
    uint32_t controlsAccepted;
    uint32_t win32ExitCode;
    uint32_t serviceSpecificExitCode;
    uint32_t checkPoint;
    uint32_t waitHint;
};

// What the service needs of the platform's manager; tests record instead.
class ServiceControlManager {
  public:
    virtual ~ServiceControlManager() = default;
    virtual bool RegisterControlHandler() = 0;
    virtual bool SetStatus(const ServiceStatusRecord& status) = 0;  // false: the report was refused
    // What the worker is doing, in one line, where the manager shows such a thing (systemd's status line).
    virtual void Describe(const char* summary) { (void)summary; }
};

ServiceControlManager& PlatformServiceControl();
void InstallServiceControl(ServiceControlManager* manager);  // null restores the platform's

// state is one of the four service states, or kLastState to repeat the last one. A refused report
// sets the StopEvent: it ends the run.
bool ReportServiceStatus(int32_t state, uint32_t exitCode, uint32_t waitHintMs);

// The service's main function: registers the handler, reports the start, runs, reports the stop.
void ServiceMain();
// The same with another run function, for tests.
void ServiceMainWith(void (*run)());

void ServiceControlHandler(uint32_t control);

// Back to the state of a fresh process, for tests.
void ResetServiceStatus();
