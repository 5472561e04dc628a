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
    Wait BeforeReceive(SocketHandle, int) override { return kReadable; }
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
    if (!StartListener(s)) return kNetworkFailed;
    for (;;) {
        const WorkerGate::Wait wait = gate.BeforeReceive(s, DuePendingWork());
        if (wait == WorkerGate::kEnd) return kWorkerEnded;
        if (wait == WorkerGate::kTimedOut) {
            (void)DuePendingWork();
            continue;
        }
        Datagram batch[kListenBatch];
        const Received received = ReceiveDatagrams(s, batch, kListenBatch);
        gate.AfterReceive();
        if (HandleDatagrams(s, batch, received) == Listened::kFailedForGood) return kNetworkFailed;
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
        const WorkerGate::Wait wait = gate.BeforeReceive(answers, left > 0 ? static_cast<int>(left) : 0);
        if (wait == WorkerGate::kEnd) return kWorkerEnded;
        if (wait == WorkerGate::kTimedOut) continue;
        Datagram batch[kListenBatch];
        const Received received = ReceiveDatagrams(answers, batch, kListenBatch);
        gate.AfterReceive();
        if (AnswerSignedRequests(answers, batch, received) == Listened::kFailedForGood) return kNetworkFailed;
    }
}
