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
// The exit code of a service that failed; its own code is then the service-specific one.
constexpr uint32_t kErrorServiceSpecificError = 1066;
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

enum class Priority;
enum class EventKind;

// What the service needs of the platform's manager; tests record instead.
class ServiceControlManager {
  public:
    virtual ~ServiceControlManager() = default;
    virtual bool RegisterControlHandler() = 0;
    virtual bool SetStatus(const ServiceStatusRecord& status) = 0;  // false: the report was refused
    // What the worker is doing, in one line, where the manager shows such a thing (systemd's status line);
    // working: the worker has set up and does its work.
    virtual void Describe(const char* summary, bool working) {
        (void)summary;
        (void)working;
    }
    // One line for the platform's log of services (the journal, the Application Event Log).
    virtual void Log(Priority priority, EventKind kind, const char* text) = 0;
};

ServiceControlManager& PlatformServiceControl();
// The manager in force: the platform record's, else the platform's own.
ServiceControlManager& CurrentServiceControl();
// The service log and status line of the manager in force, for the platform record of a service's run.
void ServiceManagerLog(Priority priority, EventKind kind, const char* text);
void ServiceManagerStatus(const char* summary, bool working);

// state is one of the four service states, or kLastState to repeat the last one. A refused report
// sets the StopEvent: it ends the run. specificCode: with kErrorServiceSpecificError, the service's own.
bool ReportServiceStatus(int32_t state, uint32_t exitCode, uint32_t waitHintMs, uint32_t specificCode = 0);

// The service's main function: registers the handler, reports the start, runs, reports the stop, with
// the run's failure code when it failed.
void ServiceMain();
// The same with another run function, for tests; it returns 0 or a failure code, as RunTimeSync does.
void ServiceMainWith(uint32_t (*run)());
// The service-specific code of the last stopped report: 0 after a stop, the failure's code after one.
uint32_t ServiceExitCode();

void ServiceControlHandler(uint32_t control);

// Back to the state of a fresh process, for tests.
void ResetServiceStatus();
