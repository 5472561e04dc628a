#include "sync/Sntp.h"

#include <algorithm>
#include <cstring>

#include "auth/Keys.h"
#include "base/Log.h"
#include "base/Monotonic.h"
#include "sync/InForce.h"
#include "sync/LeapAndSync.h"
#include "sync/Precise.h"
#include "sync/RateLimit.h"
#include "sync/Status.h"
#include "sync/SyncState.h"
#include "sync/Tracking.h"
#include "time/SntpMessage.h"
#include "time/SystemClock.h"

namespace {

// The socket that holds the group, joined again each minute: an interface that comes up later (a LAN
// whose link or address comes after the start) joins then.
constexpr int64_t kRejoinIntervalMs = 60000;
struct Membership {
    SocketHandle socket = kInvalidSocket;
    int64_t nextMs = 0;  // MonotonicMs
};
Membership membership;

uint32_t Group() {
    return AddressFromOctets(kMulticastGroupOctets[0], kMulticastGroupOctets[1], kMulticastGroupOctets[2],
                             kMulticastGroupOctets[3]);
}

// Joins again when it is due; returns when the next is (MonotonicMs), or -1 without a group.
int64_t Rejoin() {
    if (membership.socket == kInvalidSocket) return -1;
    const int64_t now = MonotonicMs();
    if (now < membership.nextMs) return membership.nextMs;
    (void)Net().JoinGroup(membership.socket, Group());  // joined already, or no interface yet: both fine
    membership.nextMs = now + kRejoinIntervalMs;
    return membership.nextMs;
}

}  // namespace

bool OpenAnswerSocket(SocketHandle& s) {
    SocketApi& net = Net();
    s = net.Open();
    if (s == kInvalidSocket) {
        const int error = net.LastError();
        StatusNetFailed(error, "Couldn't create NTP server socket (%d)", error);
        return false;
    }
    // No address reuse: a second instance must fail here rather than share the port.
    if (net.Bind(s, NtpServicePort()) == -1) {
        const int error = net.LastError();
        StatusNetFailed(error, "Couldn't bind NTP socket. (%d)  Is Zelkor or Ombrix running?", error);
        return false;
    }
    return true;
}

ReceiveStamps PrepareForPreciseTime(SocketHandle s) {
    (void)Net().ForbidFragments(s);  // worth speed only: without it the replies are the same
    return Net().EnableReceiveStamps(s);
}

bool OpenListenerSocket(SocketHandle& s, SocketHandle& broadcasts) {
    SocketApi& net = Net();
    broadcasts = kInvalidSocket;
    membership = Membership{};
    if (!OpenAnswerSocket(s)) return false;
    if (net.JoinGroup(s, Group()) == -1) {
        const int error = net.LastError();
        StatusNetFailed(error, "Couldn't add membership of multicast group (%d)", error);
        return false;
    }
    // Without a queue of their own broadcasts still come, in the requests' queue: worth a warning only.
    if (net.SplitOffBroadcasts(s, broadcasts) == -1) {
        const int error = net.LastError();
        LOG_LINE("Couldn't give time broadcasts a queue of their own (%d); they share the requests'", error);
        ServiceEvent(
            Priority::kWarning,
            "Couldn't give time broadcasts a queue of their own (%d); they share the requests' [%d: %s]",
            error, error, net.Describe(error).c_str());
    }
    // The memberships stay with the socket that joined, which takes the broadcasts once split off.
    membership = {broadcasts != kInvalidSocket ? broadcasts : s, MonotonicMs() + kRejoinIntervalMs};
    return true;
}

namespace {

// Whether key is one this client trusts broadcasts under: only the broadcaster speaks for that time, and
// a client that signed under it would vouch for its own clock as the server's (a relayed poll).
bool VouchesForTheServer(const SymmetricKey& key) {
    return settings.serverMode == 0 && TrustsBroadcastsUnder(settings, key.id);
}

// A request with a MAC: a reply signed under the same key when it verifies, a crypto-NAK when its key is
// unknown, its digest wrong, or its key one the client trusts broadcasts under, and otherwise (a MAC of no
// known shape) the plain reply. Never longer than the request.
void Authenticate(const Datagram& request, Datagram& reply) {
    const MacResult mac = CheckMac(authentication.keys, request.bytes, request.length);
    if (mac.verdict == MacVerdict::kValid && !VouchesForTheServer(*mac.key)) {
        const int length = AppendMac(reply.bytes, *mac.key);
        if (length != 0) {
            reply.length = length;
            return;
        }
    } else if (mac.verdict != MacVerdict::kValid && mac.verdict != MacVerdict::kUnknownKey &&
               mac.verdict != MacVerdict::kBadDigest) {
        return;
    }
    std::memset(reply.bytes + kSntpMessageSize, 0, kKeyIdBytes);
    reply.length = kCryptoNakBytes;
}

// Replies wait here until the batch is done or something else must go out first, so they leave in the
// order their requests came.
struct ReplyQueue {
    Datagram replies[kListenBatch];
    const Datagram* requests[kListenBatch];  // each reply's, alive until the batch is done
    int count = 0;

    // As the replies leave: with PreciseTime their transmit time, read once for all of them (nearer each
    // send than a read as each was built); then the MACs, which cover it.
    void Finish() {
        if (count == 0 || (!settings.preciseTime && authentication.keys.empty())) return;
        const NtpTime now = settings.preciseTime ? SystemClock().PreciseNow() : NtpTime();
        for (int i = 0; i < count; ++i) {
            uint8_t* bytes = replies[i].bytes;
            if (settings.preciseTime) {
                EncodeTimestampPrecise(now, bytes + kOffsetTransmit);
                std::memcpy(bytes + kOffsetReference, bytes + kOffsetTransmit, kTimestampSize);
            }
            if (!authentication.keys.empty() && requests[i]->length > kSntpMessageSize)
                Authenticate(*requests[i], replies[i]);
        }
    }

    void Flush(SocketHandle s) {
        Finish();
        SocketApi& net = Net();
        int sent = 0;
        while (sent < count) {
            const int n = net.SendMany(s, replies + sent, count - sent);
            if (n > 0) {
                sent += n;
                statusRecord.requestsAnswered += static_cast<uint64_t>(n);
                // Counted where an operator looks, within a second: the answers alone renew the file.
                PublishStatus(true);
                continue;
            }
            // A socket that cannot take a reply now (its buffer full of replies waiting, say, for an
            // address that never resolves) is never waited for: the rest of the batch is dropped.
            if (net.LastError() == kErrorWouldBlock) {
                for (; sent < count; ++sent)
                    if (NoteRefusal(Refusal::kRequest, statusRecord.requestsDropped))
                        ServiceEvent(Priority::kWarning, "Leaving a request from %s unanswered: %s",
                                     FormatAddress(replies[sent].peer.address).text,
                                     "the socket cannot take the reply now");
                break;
            }
            ++statusRecord.sendFailures;
            LOG_LINE("NTP server sendto failed");
            ++sent;  // that one is lost; the others still go
        }
        count = 0;
    }
};

// Why a request is left unanswered, or null. Never where the answer would amplify (a datagram too short to
// be a request, one sent to or claiming to come from every host of the network) or reflect our own signed
// poll for someone to forward as the server's answer.
const char* Unanswerable(const Datagram& request) {
    if (request.length < kSntpMessageSize) return "it is too short";
    // No host sends from these: the answer would go to many.
    const uint32_t source = NetToHost32(request.peer.address);
    if (source == 0 || source == 0xFFFFFFFFu || (source >> 28) == 0xE) return "its source is no host's";
    if (SentToMany(request)) return "it was sent to every host of the network";
    if (IsOwnPoll(request.bytes)) return "it is our own poll, sent back";
    return nullptr;
}

// Queues the answer to a request, unless it is one to leave unanswered (counted).
void Answer(const Datagram& request, const SntpMessage& message, ReplyQueue& queue) {
    if (const char* why = Unanswerable(request)) {
        if (NoteRefusal(Refusal::kRequest, statusRecord.requestsDropped))
            ServiceEvent(Priority::kWarning, "Leaving a request from %s unanswered: %s",
                         FormatAddress(request.peer.address).text, why);
        return;
    }
    if (RateLimited(rateLimit, request.peer.address, request.arrival.monotonicMs)) {
        if (NoteRefusal(Refusal::kRateLimited, statusRecord.requestsLimited))
            ServiceEvent(Priority::kWarning, "Leaving requests from %s unanswered beyond RateLimit",
                         FormatAddress(request.peer.address).text);
        return;
    }
    queue.requests[queue.count] = &request;
    Datagram& reply = queue.replies[queue.count++];
    SntpMessage built;
    if (settings.preciseTime) {
        // Its transmit time comes as it leaves (Finish).
        BuildServerReply(message, request.arrival.local, request.arrival.local, built, Resolution::kFull);
    } else {
        // Its transmit time is read now, as late as it can be.
        BuildServerReply(message, request.arrival.local, SystemClock().Now(), built);
    }
    std::memcpy(reply.bytes, built.bytes, kSntpMessageSize);
    reply.length = kSntpMessageSize;  // and a MAC as it leaves, where the request has one
    reply.peer = request.peer;
    reply.local = request.local;
}

void Handle(const Datagram& datagram, SocketHandle s, ReplyQueue& queue) {
    SntpMessage message;
    std::memcpy(message.bytes, datagram.bytes, kSntpMessageSize);
    const int mode = MessageMode(message);
    ++statusRecord.datagrams[mode];
    LOG_LINE("NTP message received from %s mode %d", FormatAddress(datagram.peer.address).text, mode);
    if (mode == kModeClient) {
        // Answered at once, from anyone: every client-mode machine is a stratum-15 server too, unless
        // Respond says otherwise.
        if (!settings.respond) return;
        Answer(datagram, message, queue);
        // In the console every datagram's lines stay together, a failed send's included.
        if (ConsoleMode) queue.Flush(s);
        return;
    }
    // The MAC is looked at only where it is wanted: a broadcast when TrustedKeys is set, the reply to a
    // signed poll. Otherwise a longer datagram is its first 48 bytes, as ever.
    const bool wanted = (mode == kModeBroadcast && settings.trustedConfigured) ||
                        (mode == kModeServer && AwaitsSignedReply(syncState, datagram.peer.address));
    const MacResult mac =
        wanted ? CheckMac(authentication.keys, datagram.bytes, datagram.length) : MacResult{};
    if (mode == kModeBroadcast) {
        // Tracking may send a poll of its own: what was answered before goes first.
        queue.Flush(s);
        HandleBroadcast(message, datagram.peer.address, datagram.arrival, s, mac);
    } else if (mode == kModeServer) {
        HandleReply(message, datagram.peer.address, datagram.arrival, mac);
    }
}

// A receive counted: a failure logged, and the worker's end once they come without end.
bool FailedForGood(const Received& received, const char* worker) {
    if (received.count > 0) statusRecord.receiveFailuresInARow = 0;
    if (received.count >= 0) return false;
    ++statusRecord.receiveFailures;
    LOG_LINE("NTP server recvfrom failed");
    if (++statusRecord.receiveFailuresInARow < kMaxReceiveFailuresInARow) return false;
    StatusNetFailed(received.error, "NTP server recvfrom failed %d times in a row (%d); the %s stops",
                    kMaxReceiveFailuresInARow, received.error, worker);
    return true;
}

}  // namespace

Received ReceiveDatagrams(SocketHandle s, Datagram* batch, int max, bool wait) {
    SocketApi& net = Net();
    const int n = net.ReceiveMany(s, batch, max, wait);
    if (n < 0) return {n, net.LastError()};
    const Arrival arrival{SystemClock().Now(), MonotonicMs()};
    for (int i = 0; i < n; ++i) batch[i].arrival = arrival;
    if (!settings.preciseTime || n == 0) return {n, 0};
    // Each datagram when the kernel stamped it: the clocks read once, less its stamp's age.
    NtpTime now;
    int64_t raw = 0;
    if (!SystemClock().PreciseNow(now, raw)) return {n, 0};
    for (int i = 0; i < n; ++i) {
        const int64_t age = batch[i].ageNs > 0 ? batch[i].ageNs : 0;
        batch[i].arrival.local = age > 0 ? now - NtpSpan(age) : now;
        batch[i].arrival.rawNs = raw - age;
    }
    return {n, 0};
}

Listened AnswerSignedRequests(SocketHandle s, const Datagram* batch, const Received& received) {
    if (FailedForGood(received, "broadcaster")) return Listened::kFailedForGood;
    ReplyQueue queue;
    for (int i = 0; i < received.count; ++i) {
        SntpMessage message;
        std::memcpy(message.bytes, batch[i].bytes, kSntpMessageSize);
        const int mode = MessageMode(message);
        ++statusRecord.datagrams[mode];
        LOG_LINE("NTP message received from %s mode %d", FormatAddress(batch[i].peer.address).text, mode);
        // Signed requests only, unless PreciseTime's clients measure the delay with unsigned ones.
        if (mode == kModeClient && (batch[i].length > kSntpMessageSize || settings.preciseTime))
            Answer(batch[i], message, queue);
    }
    queue.Flush(s);
    return Listened::kGoOn;
}

int DuePendingWork() {
    int64_t next = -1;
    for (const int64_t due : {PublishPendingStatus(), FlushRefusalSummaries(), ExpireSynchronised(),
                              TellSilence(), Rejoin(), PreciseDue(), SendPrecisePolls()})
        if (due >= 0 && (next < 0 || due < next)) next = due;
    if (next < 0) return -1;
    next -= MonotonicMs();
    return next < 0 ? 0 : static_cast<int>(std::min<int64_t>(next, 60000));
}

Listened HandleDatagrams(SocketHandle s, const Datagram* batch, const Received& received) {
    if (FailedForGood(received, "listener")) return Listened::kFailedForGood;
    ReplyQueue queue;
    for (int i = 0; i < received.count; ++i) Handle(batch[i], s, queue);
    queue.Flush(s);
    return Listened::kGoOn;
}

bool StartListener(SocketHandle& s, SocketHandle& broadcasts) {
    StartStatus(0);
    StartPrecise(settings.preciseTime);
    LoadConfiguredDelay();
    uint32_t salt = 0;
    (void)FillRandom(reinterpret_cast<uint8_t*>(&salt), sizeof salt);
    rateLimit = MakeRateLimitTable(settings.rateLimitSeconds, settings.rateLimitBurst, salt);
    s = kInvalidSocket;
    if (!OpenListenerSocket(s, broadcasts)) return false;
    if (settings.preciseTime) {
        statusRecord.receiveStamps = PrepareForPreciseTime(s);
        if (broadcasts != kInvalidSocket) (void)Net().EnableReceiveStamps(broadcasts);
    }
    statusRecord.state = WorkerState::kWaiting;
    PublishStatus();
    return true;
}
