#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "service/Thread.h"

namespace {

// A pipe whose read end becomes readable once and stays so: a write is async-signal-safe, which a
// condition variable is not.
int stopPipe[2] = {-1, -1};

constexpr int kJoinTimeoutSeconds = 1;

bool WaitReadable(int timeoutMs) {
    pollfd p{stopPipe[0], POLLIN, 0};
    for (;;) {
        const int n = poll(&p, 1, timeoutMs);
        if (n >= 0) return n > 0;
        if (errno != EINTR) return false;
    }
}

struct Start {
    WorkerEntry entry;
};

void* RunWorker(void* argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    start.entry(nullptr);
    return nullptr;
}

}  // namespace

bool CreateStopEvent() {
    if (stopPipe[0] != -1) return true;
    return pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) == 0;
}

void SetStopEvent() {
    const char one = 1;
    const int saved = errno;
    // A full pipe already reads as set.
    [[maybe_unused]] const ssize_t n = write(stopPipe[1], &one, 1);
    errno = saved;
}

void WaitForStopEvent() {
    while (!WaitReadable(-1)) {
    }
}

bool StopEventIsSet() {
    return WaitReadable(0);
}

void ClearStopEventForTest() {
    char drain[64];
    while (read(stopPipe[0], drain, sizeof drain) > 0) {
    }
}

WorkerThread StartWorker(WorkerEntry entry) {
    WorkerThread worker;
    pthread_t thread;
    auto* start = new Start{entry};
    if (pthread_create(&thread, nullptr, RunWorker, start) != 0) {
        delete start;
        return worker;
    }
    worker.handle = static_cast<uintptr_t>(thread);
    worker.started = true;
    return worker;
}

void TerminateWorker(WorkerThread& worker) {
    if (!worker.started) return;
    const pthread_t thread = static_cast<pthread_t>(worker.handle);
    // The workers block only in receive and sleep, both cancellation points, so the cancel lands there.
    pthread_cancel(thread);
    // Waited for on the monotonic clock: the real one is the clock this program steps.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kJoinTimeoutSeconds;
    if (pthread_clockjoin_np(thread, nullptr, CLOCK_MONOTONIC, &deadline) != 0) pthread_detach(thread);
    worker.started = false;
}
