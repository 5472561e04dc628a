#include <windows.h>

#include "service/Thread.h"

namespace {

HANDLE stopEvent = nullptr;

struct Start {
    WorkerEntry entry;
};

DWORD WINAPI RunWorker(LPVOID argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    return start.entry(nullptr);
}

}  // namespace

bool CreateStopEvent() {
    if (stopEvent != nullptr) return true;
    // Manual reset, initially clear, unnamed.
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return stopEvent != nullptr;
}

void SetStopEvent() {
    SetEvent(stopEvent);
}

void WaitForStopEvent() {
    WaitForSingleObject(stopEvent, INFINITE);
}

bool StopEventIsSet() {
    return WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

void ClearStopEventForTest() {
    ResetEvent(stopEvent);
}

WorkerThread StartWorker(WorkerEntry entry) {
    WorkerThread worker;
    auto* start = new Start{entry};
    const HANDLE thread = CreateThread(nullptr, 0, RunWorker, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return worker;
    }
    worker.handle = reinterpret_cast<uintptr_t>(thread);
    worker.started = true;
    return worker;
}

// The workers loop forever and hold nothing that must be released: they are ended outright.
void TerminateWorker(WorkerThread& worker) {
    if (!worker.started) return;
    TerminateThread(reinterpret_cast<HANDLE>(worker.handle), 0);
    worker.started = false;
}
