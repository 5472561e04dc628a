#pragma once

#include <cstdint>

// The StopEvent: a manual-reset event, set once to end the run loop and never reset. Setting it is
// safe from any thread, and on POSIX from a signal handler.
bool CreateStopEvent();
void SetStopEvent();
void WaitForStopEvent();
bool StopEventIsSet();
// In the console: the interrupt key and a request to end (SIGINT and SIGTERM, the console's control
// events on Windows) set the StopEvent, so that the run ends cleanly.
void StopOnInterrupt();
// Clears the event again. Only tests do this: the service never resets it.
void ClearStopEventForTest();

// The one worker thread. Workers loop until the run loop ends them, and they can be ended only at the
// platform's worker gate, installed before the worker starts: on POSIX the worker sees the StopEvent
// there and returns; on Windows it is terminated while it waits there, never while it works.
using WorkerEntry = uint32_t (*)(void* argument);
struct WorkerThread {
    uintptr_t handle = 0;
    bool started = false;
};
class WorkerGate;
WorkerGate& PlatformWorkerGate();
WorkerThread StartWorker(WorkerEntry entry);
// Called once the StopEvent is set. True when the worker has ended; false when it was busy for too long
// and is left to the process's end.
bool TerminateWorker(WorkerThread& worker);
