#include <windows.h>

#include <algorithm>

#include "service/Thread.h"
#include "service/WorkerGate.h"

namespace {

HANDLE stopEvent = nullptr;

// The worker's lock: a semaphore of one, not a critical section, so that it is taken for the worker
// before the thread exists. The worker holds it except while it waits in its receive or its sleep;
// TerminateWorker takes it first, so the thread is never ended inside Winsock, the privilege calls or the
// C runtime with one of their locks held (that lock would never be released, and the clean-up or the
// process's end would wait on it for good).
HANDLE workerLock = nullptr;
// Set by the worker, under the lock, once its entry has returned: a thread on its way out (running its
// DLL notifications under the loader lock) is waited for, never terminated.
volatile LONG workerReturned = 0;

// A worker busy for longer than this (a slow disk) is not terminated: it is left to the process's end.
constexpr DWORD kLockTimeoutMs = 2000;

// Winsock 1.1 waits on no event: select waits in slices this long, and the StopEvent is looked at
// between them, so the worker ends by itself within one.
constexpr int kSliceMs = 200;

class LockGate final : public WorkerGate {
  public:
    Wait BeforeReceive(const SocketHandle* sockets, int count, int timeoutMs, unsigned& ready) override {
        ReleaseSemaphore(workerLock, 1, nullptr);
        const ULONGLONG start = GetTickCount64();
        for (;;) {
            if (WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0) {
                WaitForSingleObject(workerLock, INFINITE);
                return kEnd;
            }
            int slice = kSliceMs;
            if (timeoutMs >= 0) {
                const ULONGLONG waited = GetTickCount64() - start;
                if (waited >= static_cast<ULONGLONG>(timeoutMs)) break;
                slice = std::min<int>(slice, timeoutMs - static_cast<int>(waited));
            }
            fd_set readable;
            FD_ZERO(&readable);
            for (int i = 0; i < count; ++i) FD_SET(static_cast<SOCKET>(sockets[i]), &readable);
            timeval wait{slice / 1000, (slice % 1000) * 1000};
            const int n = select(0, &readable, nullptr, nullptr, &wait);
            if (n != 0) {
                // A failure: every receive says.
                ready = 0;
                for (int i = 0; i < count; ++i)
                    if (n < 0 || FD_ISSET(static_cast<SOCKET>(sockets[i]), &readable)) ready |= 1u << i;
                return kReadable;
            }
        }
        WaitForSingleObject(workerLock, INFINITE);
        return kTimedOut;
    }
    void AfterReceive() override { WaitForSingleObject(workerLock, INFINITE); }
    // The sleep ends early when the StopEvent is set: the broadcaster then returns by itself.
    bool Pause(uint32_t milliseconds) override {
        ReleaseSemaphore(workerLock, 1, nullptr);
        const DWORD waited = WaitForSingleObject(stopEvent, milliseconds);
        if (waited == WAIT_FAILED) Sleep(milliseconds);  // never a broadcast loop without a pause
        WaitForSingleObject(workerLock, INFINITE);
        return waited != WAIT_OBJECT_0;
    }
};

struct Start {
    WorkerEntry entry;
};

DWORD WINAPI RunWorker(LPVOID argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    const DWORD result = start.entry(nullptr);
    InterlockedExchange(&workerReturned, 1);
    ReleaseSemaphore(workerLock, 1, nullptr);
    return result;
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

void StopOnInterrupt() {
    // Runs on a thread of its own; handled, the process is not ended at once but by the run's own end.
    (void)SetConsoleCtrlHandler(
        [](DWORD) -> BOOL {
            SetStopEvent();
            return TRUE;
        },
        TRUE);
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

WorkerGate& PlatformWorkerGate() {
    static LockGate gate;
    return gate;
}

WorkerThread StartWorker(WorkerEntry entry) {
    WorkerThread worker;
    if (workerLock == nullptr) workerLock = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    if (workerLock == nullptr || WaitForSingleObject(workerLock, INFINITE) != WAIT_OBJECT_0) return worker;
    workerReturned = 0;
    auto* start = new Start{entry};
    const HANDLE thread = CreateThread(nullptr, 0, RunWorker, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        ReleaseSemaphore(workerLock, 1, nullptr);
        return worker;
    }
    worker.handle = reinterpret_cast<uintptr_t>(thread);
    worker.started = true;
    return worker;
}

// The worker sees the StopEvent in its wait or its sleep and returns by itself. One that does not (busy
// for longer than kLockTimeoutMs) is ended outright, but only while it waits.
bool TerminateWorker(WorkerThread& worker) {
    if (!worker.started) return true;
    const HANDLE thread = reinterpret_cast<HANDLE>(worker.handle);
    bool ended = WaitForSingleObject(thread, kLockTimeoutMs) == WAIT_OBJECT_0;
    if (!ended && WaitForSingleObject(workerLock, kLockTimeoutMs) == WAIT_OBJECT_0) {
        if (!workerReturned) TerminateThread(thread, 0);
        // TerminateThread only starts the end: it is complete when the handle is signalled.
        ended = WaitForSingleObject(thread, kLockTimeoutMs) == WAIT_OBJECT_0;
        ReleaseSemaphore(workerLock, 1, nullptr);
    }
    CloseHandle(thread);
    worker.started = false;
    return ended;
}
