#include <cstring>

#include "base/Log.h"
#include "base/Monotonic.h"
#include "sync/Sntp.h"
#include "sync/Status.h"
#include "time/SystemClock.h"

namespace {

constexpr uint32_t kBroadcastIntervalMs = 64000;

}  // namespace

bool OpenBroadcastSocket(SocketHandle& s) {
    SocketApi& net = Net();
    s = net.Open();
    if (s == kInvalidSocket) {
        StatusFailed("Couldn't create NTP broadcast socket (%d)", net.LastError());
        return false;
    }
    if (net.EnableAddressReuse(s) == -1) {
        StatusFailed("Couldn't set SNTP broadcast socket options (%d)", net.LastError());
        return false;
    }
    if (net.EnableBroadcast(s) == -1) {
        StatusFailed("Couldn't set SNTP socket to broadcast (%d)", net.LastError());
        return false;
    }
    return true;
}

void BroadcastOnce(SocketHandle s, const SocketAddress& destination) {
    const NtpTime now = SystemClock().Now();
    const SntpMessage message = BuildBroadcast(now);
    uint8_t bytes[kMaxAuthenticatedBytes];
    std::memcpy(bytes, message.bytes, kSntpMessageSize);
    int length = kSntpMessageSize;
    if (const SymmetricKey* key = FindKey(authentication.keys, settings.broadcastKey)) {
        length = AppendMac(bytes, *key);
        // A broadcast that cannot be signed is not sent: clients that trust the key would refuse it.
        if (length == 0) {
            ++statusRecord.sendFailures;
            LOG_LINE("Couldn't sign the broadcast with key %u", key->id);
            PublishStatus();
            return;
        }
    }
    if (Net().Send(s, bytes, length, destination) == -1) {
        ++statusRecord.sendFailures;
        LOG_LINE("NTP server sendto failed");
    } else {
        ++statusRecord.broadcastsSent;
        statusRecord.lastBroadcastSent = now;
    }
    PublishStatus();
}

uint32_t BroadcasterThread(void*) {
    StartStatus(1);
    SocketHandle s = kInvalidSocket;
    if (!OpenBroadcastSocket(s)) return kNetworkFailed;
    // Signed broadcasts are followed only once the broadcaster answers a signed poll sent after one.
    SocketHandle answers = kInvalidSocket;
    if (settings.broadcastKey != 0 && !OpenAnswerSocket(answers)) return kNetworkFailed;
    statusRecord.state = WorkerState::kBroadcasting;
    // Sent from a port of the system's choice, so without a key server mode never holds the NTP port.
    const SocketAddress destination{AddressFromOctets(255, 255, 255, 255), NtpServicePort()};
    WorkerGate& gate = CurrentWorkerGate();
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
        const int n = Net().ReceiveMany(answers, batch, kListenBatch);
        const int error = Net().LastError();
        gate.AfterReceive();
        if (n < 0 && ReceiveFailed(error, "broadcaster")) return kNetworkFailed;
        if (n < 0) continue;
        statusRecord.receiveFailuresInARow = 0;
        AnswerSignedRequests(answers, batch, n);
    }
}
