#include "sync/Sntp.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "sync/Log.h"
#include "sync/Status.h"
#include "time/SystemClock.h"

namespace {

constexpr uint32_t kFailed = 1;
constexpr uint32_t kEnded = 0;

class OpenGate final : public WorkerGate {
  public:
    bool BeforeReceive(SocketHandle) override { return true; }
    void AfterReceive() override {}
    bool Pause(uint32_t milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return true;
    }
};

OpenGate openGate;
WorkerGate* gate = &openGate;

}  // namespace

WorkerGate& CurrentWorkerGate() {
    return *gate;
}

void InstallWorkerGate(WorkerGate* newGate) {
    gate = newGate != nullptr ? newGate : &openGate;
}

bool OpenListenerSocket(SocketHandle& s) {
    SocketApi& net = Net();
    s = net.Open();
    if (s == kInvalidSocket) {
        StatusSetUpFailed("Couldn't create NTP server socket (%d)", net.LastError());
        return false;
    }
    // No address reuse: a second instance must fail here rather than share the port.
    if (net.Bind(s, NtpServicePort()) == -1) {
        StatusSetUpFailed("Couldn't bind NTP socket. (%d)  Is Zelkor or Ombrix running?", net.LastError());
        return false;
    }
    const uint32_t group = AddressFromOctets(kMulticastGroupOctets[0], kMulticastGroupOctets[1],
                                             kMulticastGroupOctets[2], kMulticastGroupOctets[3]);
    if (net.JoinGroup(s, group) == -1) {
        StatusSetUpFailed("Couldn't add membership of multicast group (%d)", net.LastError());
        return false;
    }
    return true;
}

namespace {

// Replies wait here until the batch is done or something else must go out first, so they leave in the
// order their requests came.
struct ReplyQueue {
    Datagram replies[kListenBatch];
    int count = 0;

    void Flush(SocketHandle s) {
        SocketApi& net = Net();
        int sent = 0;
        while (sent < count) {
            const int n = net.SendMany(s, replies + sent, count - sent);
            if (n > 0) {
                sent += n;
                statusRecord.requestsAnswered += static_cast<uint64_t>(n);
                continue;
            }
            ++statusRecord.sendFailures;
            LogMessage("NTP server sendto failed");
            ++sent;  // that one is lost; the others still go
        }
        count = 0;
    }
};

// A request with a MAC: a reply signed under the same key when it verifies, a crypto-NAK when its key is
// unknown or its digest wrong, and otherwise (a MAC of no known shape) the plain reply. Never longer than
// the request.
void Authenticate(const Datagram& request, Datagram& reply) {
    const MacResult mac = CheckMac(request.bytes, request.length);
    if (mac.verdict == MacVerdict::kValid) {
        const int length = AppendMac(reply.bytes, *mac.key);
        if (length != 0) {
            reply.length = length;
            return;
        }
    } else if (mac.verdict != MacVerdict::kUnknownKey && mac.verdict != MacVerdict::kBadDigest) {
        return;
    }
    std::memset(reply.bytes + kHeaderBytes, 0, kKeyIdBytes);
    reply.length = kCryptoNakBytes;
}

void Handle(const Datagram& datagram, SocketHandle s, ReplyQueue& queue) {
    SntpMessage message;
    std::memcpy(message.bytes, datagram.bytes, kSntpMessageSize);
    const int mode = MessageMode(message);
    ++statusRecord.datagrams[mode];
    if (ConsoleMode)
        LogMessage("NTP message received from %s mode %d", FormatAddress(datagram.peer.address).text, mode);
    const SystemClock clock;
    const NtpTime arrival = clock.Now();
    if (mode == kModeClient) {
        // Answered at once, from anyone: every client-mode machine is a stratum-15 server too.
        Datagram& reply = queue.replies[queue.count++];
        SntpMessage built;
        BuildServerReply(message, arrival, clock.Now(), built);
        std::memcpy(reply.bytes, built.bytes, kSntpMessageSize);
        reply.length = kSntpMessageSize;
        if (!authentication.keys.empty() && datagram.length > kSntpMessageSize) Authenticate(datagram, reply);
        reply.peer = datagram.peer;
        reply.local = datagram.local;
        // In the console every datagram's lines stay together, a failed send's included.
        if (ConsoleMode) queue.Flush(s);
        return;
    }
    // The MAC is looked at only where it is wanted: a broadcast when TrustedKeys is set, the reply to a
    // signed poll. Otherwise a longer datagram is its first 48 bytes, as ever.
    const bool wanted = (mode == kModeBroadcast && authentication.trustedConfigured) ||
                        (mode == kModeServer && syncState.polledKey != 0);
    const MacResult mac = wanted ? CheckMac(datagram.bytes, datagram.length) : MacResult{};
    if (mode == kModeBroadcast) {
        // Tracking may send a poll of its own: what was answered before goes first.
        queue.Flush(s);
        HandleBroadcast(message, datagram.peer.address, s, mac);
    } else if (mode == kModeServer) {
        HandleReply(message, datagram.peer.address, mac);
    }
}

}  // namespace

bool ListenOnce(SocketHandle s) {
    if (!gate->BeforeReceive(s)) return false;
    Datagram batch[kListenBatch];
    const int n = Net().ReceiveMany(s, batch, kListenBatch);
    gate->AfterReceive();
    if (n < 0) {
        ++statusRecord.receiveFailures;
        LogMessage("NTP server recvfrom failed");
        return true;
    }
    ReplyQueue queue;
    for (int i = 0; i < n; ++i) Handle(batch[i], s, queue);
    queue.Flush(s);
    return true;
}

uint32_t ListenerThread(void*) {
    StartStatus(0);
    LoadConfiguredDelay();
    LoadSafeguards();
    LoadAuthentication();
    SocketHandle s = kInvalidSocket;
    if (!OpenListenerSocket(s)) return kFailed;
    statusRecord.state = WorkerState::kWaiting;
    PublishStatus();
    while (ListenOnce(s)) {
    }
    return kEnded;
}
