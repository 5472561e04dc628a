#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "sync/Config.h"
#include "sync/Log.h"
#include "sync/Sntp.h"
#include "sync/Status.h"
#include "time/SystemClock.h"

SyncState syncState;
Safeguards safeguards;

namespace {

constexpr uint32_t kSilenceSeconds = 600;       // a tracked server this quiet may be replaced by any other
constexpr uint32_t kReplyMaxAgeSeconds = 3600;  // the delay is measured again after an hour
constexpr int kMinStratum = 1;
constexpr int kMaxStratum = 16;

// What makes a reply's delay believable (RFC 4330 section 5): a synchronised server of stratum 1 to 15
// that gave both its times, in order, an answer within seconds, and a delay a LAN can have.
constexpr int kMaxReplyStratum = 15;
constexpr int kLeapNotSynchronised = 3;
constexpr double kMaxReplyWaitSeconds = 8.0;
constexpr double kMaxDelaySeconds = 1.0;
// Timestamps carry whole milliseconds: a delay less than one below zero is rounding, and means none.
constexpr double kTimestampResolutionSeconds = 0.001;

// The one-way delay a reply gives, or false when the reply cannot be believed.
bool DelayFromReply(const SntpMessage& m, NtpTime t4, NtpTime& delay) {
    const int stratum = MessageStratum(m);
    if (stratum < kMinStratum || stratum > kMaxReplyStratum || LeapIndicator(m) == kLeapNotSynchronised ||
        TimestampIsZero(m, kOffsetReceive) || TimestampIsZero(m, kOffsetTransmit))
        return false;
    const NtpTime t1 = OriginateTime(m);
    const NtpTime t2 = ReceiveTime(m);
    const NtpTime t3 = TransmitTime(m);
    if ((t3 - t2).Seconds() < 0 || (t4 - t1).Seconds() > kMaxReplyWaitSeconds) return false;
    // Half the round trip less the server's holding time.
    delay = ((t4 - t1) - (t3 - t2)) / 2;
    const double seconds = delay.Seconds();
    if (!(seconds >= -kTimestampResolutionSeconds && seconds <= kMaxDelaySeconds)) return false;
    if (seconds < 0) delay = NtpTime();
    return true;
}

void LoadServers() {
    const ConfiguredText configured = ReadServers();
    if (configured.kind == ConfiguredNumber::kNotConfigured) return;
    // Present means restricted: a list that names nothing usable lets nothing through.
    safeguards.serversConfigured = 1;
    if (configured.kind == ConfiguredNumber::kUnusable) {
        LogMessage("Servers %s is not a list of addresses", configured.text);
    } else {
        std::vector<std::string> unusable;
        ParseServerList(configured.value, safeguards.servers, unusable);
        for (const std::string& entry : unusable) {
            AllowedNetwork network{};
            LogMessage("Servers entry \"%s\" %s; it is ignored", entry.c_str(),
                       ParseAllowedNetwork(entry, network) ? "is beyond the 64 the list may hold"
                                                           : "is not an IPv4 address or subnet");
        }
    }
    if (safeguards.servers.empty()) {
        LogMessage("Servers names no usable address or subnet; no time broadcast will be accepted");
        return;
    }
    LogMessage("Following time broadcasts only from %s", FormatNetworks(safeguards.servers).c_str());
}

void LoadMaxStep() {
    constexpr uint32_t kLeastMaxStepSeconds = 3;  // a step is anything over 2 seconds
    const ConfiguredNumber configured = ReadMaxStep();
    if (configured.kind == ConfiguredNumber::kNotConfigured) return;
    if (configured.kind == ConfiguredNumber::kConfigured && configured.value >= kLeastMaxStepSeconds) {
        safeguards.maxStepSeconds = configured.value;
        LogMessage("MaxStep is %u seconds", configured.value);
        return;
    }
    LogMessage("MaxStep %s is not a whole number of seconds of at least 3; it is ignored",
               ShownValue(configured).c_str());
}

// After the first correction, an error beyond MaxStep is refused: one sender must not move every clock
// on the LAN by an hour, or to the year 2000.
bool StepRefused(double error, uint32_t sender, NtpTime now) {
    if (safeguards.maxStepSeconds == 0 || !correctorState.corrected ||
        std::fabs(error) <= static_cast<double>(safeguards.maxStepSeconds))
        return false;
    ++statusRecord.stepsRefused;
    statusRecord.lastRefusedStep = now;
    statusRecord.lastRefusedStepError = error;
    statusRecord.lastRefusedStepSender = sender;
    LogMessage("Refusing to step the clock by %.3f seconds; MaxStep is %u", error, safeguards.maxStepSeconds);
    return true;
}

// Counts a message refused for want of a valid MAC under a trusted key; true for the first since the start.
bool RefuseUnauthentic(const MacResult& mac, uint32_t sender) {
    ++statusRecord.authRefused;
    statusRecord.lastAuthRefusedSender = sender;
    RefusalReason(mac, statusRecord.lastAuthRefused, sizeof statusRecord.lastAuthRefused);
    return statusRecord.authRefused == 1;
}

}  // namespace

void LoadSafeguards() {
    safeguards = Safeguards{};
    LoadServers();
    LoadMaxStep();
}

bool SenderAllowed(uint32_t sender) {
    if (!safeguards.serversConfigured) return true;
    for (const AllowedNetwork& network : safeguards.servers)
        if (NetworkContains(network, sender)) return true;
    return false;
}

void LoadConfiguredDelay() {
    const ConfiguredDelay configured = ReadConfiguredDelay();
    if (configured.kind == ConfiguredDelay::kUnusable) {
        LogMessage("Offset %s is not a count of milliseconds; the delay will be measured", configured.text);
        return;
    }
    if (configured.kind != ConfiguredDelay::kConfigured) return;
    syncState.fixedDelay = 1;
    syncState.delayValid = 1;
    syncState.delay = NtpTime(configured.value) / 1000;
    LogMessage("Offset is %.3f seconds", syncState.delay.Seconds());
}

void HandleBroadcast(const SntpMessage& message, uint32_t sender, SocketHandle s, const MacResult& mac) {
    const SystemClock clock;
    const NtpTime transmit = TransmitTime(message);
    const int stratum = MessageStratum(message);
    // A zero transmit time is no time at all: taken at face value it would step the clock by 136 years.
    const bool usable =
        stratum >= kMinStratum && stratum <= kMaxStratum && !TimestampIsZero(message, kOffsetTransmit);
    const bool accepted = usable && (sender == syncState.lastServer || syncState.lastStratum > stratum ||
                                     AgeSeconds(clock.Now(), syncState.lastAcceptTime) > kSilenceSeconds);
    // A flood of broadcasts, even ones that are followed, renews the status at most once a second; a new
    // server, a step, the first refused broadcast and the first refused step are always told at once.
    bool news = false;
    if (!SenderAllowed(sender)) {
        ++statusRecord.broadcastsRefused;
        statusRecord.lastRefusedSender = sender;
        news = statusRecord.broadcastsRefused == 1;
    } else if (authentication.trustedConfigured &&
               !(mac.verdict == MacVerdict::kValid && KeyTrusted(mac.key->id))) {
        news = RefuseUnauthentic(mac, sender);
    } else if (authentication.trustedConfigured && sender == syncState.lastServer &&
               (transmit - syncState.lastTransmit).Seconds() <= 0) {
        // A signed broadcast recorded and sent again verifies as well as ever: only a newer one counts.
        news = RefuseUnauthentic(MacResult{MacVerdict::kReplayed, mac.key, mac.keyId}, sender);
    } else if (!accepted) {
        ++statusRecord.broadcastsIgnored;
    } else {
        NtpTime error = transmit - clock.Now();
        if (syncState.delayValid) error = error + syncState.delay;
        if (StepRefused(error.Seconds(), sender, clock.Now())) {
            news = statusRecord.stepsRefused == 1;
        } else {
            const CorrectionAction previousAction = statusRecord.lastAction;
            CorrectClock(error.Seconds());
            const bool current = sender == syncState.lastServer && syncState.delayValid &&
                                 AgeSeconds(clock.Now(), syncState.lastReplyTime) <= kReplyMaxAgeSeconds;
            // The poll is signed with the key the broadcast was, and its reply must be too.
            if (!current) PollServer(sender, s, authentication.trustedConfigured ? mac.key : nullptr);
            const bool newServer = sender != syncState.lastServer;
            news = newServer || statusRecord.lastAction != CorrectionAction::kSlew ||
                   previousAction != CorrectionAction::kSlew;
            syncState.lastServer = sender;
            syncState.lastAcceptTime = clock.Now();
            syncState.lastTransmit = transmit;
            syncState.lastStratum = stratum;
            ++statusRecord.broadcastsAccepted;
            statusRecord.state = WorkerState::kFollowing;
            statusRecord.lastBroadcast = syncState.lastAcceptTime;
            if (newServer) statusRecord.serverSince = syncState.lastAcceptTime;
        }
    }
    LogMessage("NTP Time broadcast received from %s", FormatAddress(sender).text);
    PublishStatus(!news);
}

void PollServer(uint32_t server, SocketHandle s, const SymmetricKey* key) {
    const SystemClock clock;
    const NtpTime now = clock.Now();
    if (syncState.fixedDelay) {
        LogMessage("Offset is %.3f seconds", syncState.delay.Seconds());
        return;
    }
    syncState.delayValid = 0;
    statusRecord.lastPoll = now;
    const SntpMessage request = BuildClientRequest(now);
    const SocketAddress destination{server, HostToNet16(kNtpPort)};
    uint8_t bytes[kMaxAuthenticatedBytes];
    std::memcpy(bytes, request.bytes, kSntpMessageSize);
    const int length = key != nullptr ? AppendMac(bytes, *key) : kSntpMessageSize;
    if (length == 0 || Net().Send(s, bytes, length, destination) == -1) {
        syncState.awaitingReply = 0;
        ++statusRecord.sendFailures;
        LogMessage("NTP sendto failed");
    } else {
        syncState.awaitingReply = 1;
        syncState.polledServer = server;
        syncState.polledKey = key != nullptr ? key->id : 0;
        std::memcpy(syncState.polledTransmit, request.bytes + kOffsetTransmit, kTimestampSize);
    }
    LogMessage("Poll NTP server");
}

void HandleReply(const SntpMessage& message, uint32_t sender, const MacResult& mac) {
    // Only the answer to our own outstanding request counts: anyone can send a mode-4 message, and a
    // delay taken from it would shift the clock (RFC 4330 section 5).
    if (!syncState.awaitingReply || sender != syncState.polledServer ||
        std::memcmp(message.bytes + kOffsetOriginate, syncState.polledTransmit, kTimestampSize) != 0) {
        ++statusRecord.repliesRefused;
        return;
    }
    // A signed request wants a reply signed under the same key: anyone can copy the origin from the wire.
    if (syncState.polledKey != 0 &&
        !(mac.verdict == MacVerdict::kValid && mac.key->id == syncState.polledKey)) {
        ++statusRecord.repliesRefused;
        RefuseUnauthentic(mac, sender);
        PublishStatus(true);
        return;
    }
    const SystemClock clock;
    const NtpTime t4 = clock.Now();
    NtpTime delay;
    // Refused like an unmatched reply: the request stays open, and the next broadcast asks again.
    if (!DelayFromReply(message, t4, delay)) {
        ++statusRecord.repliesRefused;
        PublishStatus(true);  // the same refused reply may come again and again
        return;
    }
    syncState.awaitingReply = 0;
    syncState.lastReplyTime = t4;
    syncState.delayValid = 1;
    syncState.delay = delay;
    ++statusRecord.repliesAccepted;
    LogMessage("Offset is %.3f seconds", syncState.delay.Seconds());
    PublishStatus();
}
