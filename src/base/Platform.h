#pragma once

#include <cstddef>
#include <cstdint>

class ClockBackend;
class SocketApi;
class WorkerGate;
class ServiceControlManager;
class ServiceInstaller;
enum class Priority;
enum class EventKind;

// The platform's services in one record, as LevelDB's Env: the entry point installs the machine's own
// once (the virtual clock in place of the real one for a dry run), and tests install fakes the same way.
// Each layer reaches its own service through it and knows only that one. A member left null is the
// machine's own; the service log and the status line are then nowhere (the console's run has neither).
struct Platform {
    ClockBackend* clock = nullptr;
    SocketApi* net = nullptr;
    int64_t (*monotonicMs)() = nullptr;  // a clock that never steps, in milliseconds
    WorkerGate* gate = nullptr;          // where a worker may be ended; null: never
    ServiceControlManager* serviceControl = nullptr;
    ServiceInstaller* installer = nullptr;
    // The service manager's log (the journal, the Event Log) and its status line for the service.
    void (*serviceLog)(Priority priority, EventKind kind, const char* text) = nullptr;
    void (*statusLine)(const char* summary, bool working) = nullptr;
    // Bytes no one can predict (a simulation's come from its seed).
    bool (*fillRandom)(uint8_t* out, size_t length) = nullptr;
};

const Platform& CurrentPlatform();
// Installed before any worker starts, and not changed while one runs.
void InstallPlatform(const Platform& platform);
void ResetPlatform();  // the machine's own again
