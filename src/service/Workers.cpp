#include "service/Workers.h"

#include <chrono>
#include <thread>

#include "base/Monotonic.h"
#include "base/Platform.h"
#include "service/WorkerGate.h"
#include "sync/Broadcaster.h"
#include "sync/Sntp.h"

namespace {

class OpenGate final : public WorkerGate {
  public:
    Wait BeforeReceive(const SocketHandle*, int count, int, unsigned& ready) override {
        ready = (1u << count) - 1;
        return kReadable;
    }
    void AfterReceive() override {}
    bool Pause(uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return true;
    }
};

}  // namespace

WorkerGate& CurrentWorkerGate() {
    static OpenGate open;
    if (WorkerGate* gate = CurrentPlatform().gate) return *gate;
    return open;
}

uint32_t ListenerThread(void*) {
    WorkerGate& gate = CurrentWorkerGate();
    SocketHandle s = kInvalidSocket;
    SocketHandle broadcasts = kInvalidSocket;
    if (!StartListener(s, broadcasts)) return kNetworkFailed;
    const bool apart = broadcasts != kInvalidSocket;
    const SocketHandle sockets[2] = {s, broadcasts};
    for (;;) {
        unsigned ready = 0;
        const WorkerGate::Wait wait = gate.BeforeReceive(sockets, apart ? 2 : 1, DuePendingWork(), ready);
        if (wait == WorkerGate::kEnd) return kWorkerEnded;
        if (wait == WorkerGate::kTimedOut) {
            (void)DuePendingWork();
            continue;
        }
        // With a queue of their own, the broadcasts waiting are taken first, and neither receive waits:
        // either socket may be the one that woke the gate. A socket the gate found empty is not asked:
        // under a flood of requests that receive would be a system call per batch for nothing.
        Datagram heard[kListenBatch];
        Datagram batch[kListenBatch];
        const Received fromBroadcasts = apart && (ready & 2u) != 0
                                            ? ReceiveDatagrams(broadcasts, heard, kListenBatch, false)
                                            : Received{0, 0};
        const Received received =
            (ready & 1u) != 0 ? ReceiveDatagrams(s, batch, kListenBatch, !apart) : Received{0, 0};
        gate.AfterReceive();
        if (HandleDatagrams(s, heard, fromBroadcasts) == Listened::kFailedForGood ||
            HandleDatagrams(s, batch, received) == Listened::kFailedForGood)
            return kNetworkFailed;
        // Under a flood the gate never times out: what is due is done between batches.
        (void)DuePendingWork();
    }
}

uint32_t BroadcasterThread(void*) {
    WorkerGate& gate = CurrentWorkerGate();
    SocketHandle s = kInvalidSocket;
    SocketHandle answers = kInvalidSocket;
    if (!StartBroadcaster(s, answers)) return kNetworkFailed;
    const SocketAddress destination = BroadcastDestination();
    // The first broadcast leaves at once; the interval runs from the end of each send.
    if (answers == kInvalidSocket) {
        do {
            BroadcastOnce(s, destination);
        } while (gate.Pause(kBroadcastIntervalMs));
        return kWorkerEnded;
    }
    int64_t next = MonotonicMs();
    for (;;) {
        if (MonotonicMs() >= next) {
            BroadcastOnce(s, destination);
            next = MonotonicMs() + kBroadcastIntervalMs;
        }
        const int64_t left = next - MonotonicMs();
        unsigned ready = 0;
        const WorkerGate::Wait wait =
            gate.BeforeReceive(&answers, 1, left > 0 ? static_cast<int>(left) : 0, ready);
        if (wait == WorkerGate::kEnd) return kWorkerEnded;
        if (wait == WorkerGate::kTimedOut) continue;
        Datagram batch[kListenBatch];
        const Received received = ReceiveDatagrams(answers, batch, kListenBatch, true);
        gate.AfterReceive();
        if (AnswerSignedRequests(answers, batch, received) == Listened::kFailedForGood) return kNetworkFailed;
    }
}
