#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

#include "base/Monotonic.h"
#include "service/Thread.h"
#include "service/WorkerGate.h"

namespace {

// A pipe whose read end becomes readable once and stays so: a write is async-signal-safe, which a
// condition variable is not.
int stopPipe[2] = {-1, -1};

// The worker returns at its next wait; one busy for longer (a slow disk) is left to the process's end.
constexpr int kJoinTimeoutSeconds = 2;

// poll that goes on with the time left when a signal interrupts it: above 0 ready, 0 timed out, -1 failed.
int PollFor(pollfd* fds, nfds_t count, int timeoutMs) {
    const int64_t deadline = MonotonicMs() + timeoutMs;
    for (;;) {
        const int n = poll(fds, count, timeoutMs);
        if (n >= 0 || errno != EINTR) return n;
        if (timeoutMs >= 0) {
            const int64_t left = deadline - MonotonicMs();
            timeoutMs = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

bool WaitReadable(int timeoutMs) {
    pollfd p{stopPipe[0], POLLIN, 0};
    return PollFor(&p, 1, timeoutMs) > 0;
}

// Ends the worker without unwinding a thread through library code: it waits on its socket and the
// StopEvent together, and returns when the event is set.
class StopPipeGate final : public WorkerGate {
  public:
    Wait BeforeReceive(const SocketHandle* sockets, int count, int timeoutMs, unsigned& ready) override {
        pollfd fds[3] = {{stopPipe[0], POLLIN, 0}, {}, {}};
        if (count > 2) count = 2;
        for (int i = 0; i < count; ++i) fds[1 + i] = {static_cast<int>(sockets[i]), POLLIN, 0};
        const int n = PollFor(fds, static_cast<nfds_t>(count) + 1, timeoutMs);
        if ((fds[0].revents & POLLIN) != 0) return kEnd;
        // A failed poll is left to every receive, which reports it; an error pending on a socket (any
        // event, not only a datagram) to that socket's, which takes it off.
        ready = 0;
        for (int i = 0; i < count; ++i)
            if (n < 0 || fds[1 + i].revents != 0) ready |= 1u << i;
        return n == 0 ? kTimedOut : kReadable;
    }
    void AfterReceive() override {}
    bool Pause(uint32_t milliseconds) override {
        pollfd p{stopPipe[0], POLLIN, 0};
        const int n = PollFor(&p, 1, static_cast<int>(milliseconds));
        // A failed wait still pauses: never a broadcast loop without one.
        if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return n <= 0;
    }
};

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

void StopOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = [](int) { SetStopEvent(); };
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGINT, &action, nullptr);
    (void)sigaction(SIGTERM, &action, nullptr);
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

WorkerGate& PlatformWorkerGate() {
    static StopPipeGate gate;
    return gate;
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

bool TerminateWorker(WorkerThread& worker) {
    if (!worker.started) return true;
    const pthread_t thread = static_cast<pthread_t>(worker.handle);
    // Waited for on the monotonic clock: the real one is the clock this program steps.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kJoinTimeoutSeconds;
    const bool joined = pthread_clockjoin_np(thread, nullptr, CLOCK_MONOTONIC, &deadline) == 0;
    if (!joined) pthread_detach(thread);
    worker.started = false;
    return joined;
}
