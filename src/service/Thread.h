#pragma once

#include <cstdint>

// The StopEvent: a manual-reset event, set once to end the run loop and never reset. Setting it is
// safe from any thread, and on POSIX from a signal handler.
bool CreateStopEvent();
void SetStopEvent();
void WaitForStopEvent();
bool StopEventIsSet();
// Clears the event again. Only tests do this: the service never resets it.
void ClearStopEventForTest();

// The one worker thread. Workers loop forever; the run loop ends them from outside.
using WorkerEntry = uint32_t (*)(void* argument);
struct WorkerThread {
    uintptr_t handle = 0;
    bool started = false;
};
WorkerThread StartWorker(WorkerEntry entry);
void TerminateWorker(WorkerThread& worker);
