#include "sync/Tracking.h"

#include <cmath>
#include <cstring>

#include "auth/Mac.h"
#include "base/Log.h"
#include "base/Monotonic.h"
#include "sync/Corrector.h"
#include "sync/InForce.h"
#include "sync/LeapAndSync.h"
#include "sync/Precise.h"
#include "sync/Status.h"
#include "time/SystemClock.h"

namespace {

constexpr uint32_t kReplyMaxAgeSeconds = 3600;  // the delay is measured again after an hour
constexpr int kMinStratum = 1;
constexpr int kMaxStratum = 16;

// What makes a reply's delay believable (RFC 4330 section 5): a synchronised server of stratum 1 to 15
// that gave both its times, in order, an answer within seconds, and a delay a LAN can have.
constexpr int kMaxReplyStratum = 15;
constexpr double kMaxReplyWaitSeconds = 8.0;
constexpr double kMaxDelaySeconds = 1.0;
// Timestamps carry whole milliseconds: a delay less than one below zero is rounding, and means none.
constexpr double kTimestampResolutionSeconds = 0.001;
// A confirming reply's time and its broadcast's, the time between them taken into account, agree this well.
constexpr double kConfirmationToleranceSeconds = 1.0;

// The one-way delay a reply to a request sent at t1 gives, or false when the reply cannot be believed.
bool DelayFromReply(const SntpMessage& m, NtpTime t1, NtpTime t4, NtpTime& delay) {
    const int stratum = MessageStratum(m);
    if (stratum < kMinStratum || stratum > kMaxReplyStratum || LeapIndicator(m) == kLeapNotSynchronised ||
        TimestampIsZero(m, kOffsetReceive) || TimestampIsZero(m, kOffsetTransmit))
        return false;
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

// The clock error a broadcast gives: its time less the local time it arrived, plus the one-way delay when
// one is known (the broadcast was sent that long before it arrived).
NtpTime BroadcastError(NtpTime transmit, NtpTime arrival, bool delayKnown, NtpTime delay) {
    const NtpTime error = transmit - arrival;
    return delayKnown ? error + delay : error;
}

// After the first correction, the corrections of any 600 s, slews and steps alike, add up to at most
// MaxStep: one sender must not move every clock on the LAN by an hour, at once, in many steps or in many
// slews.
bool CorrectionTooLarge(double error, int64_t nowMs, const SyncState& sync, const CorrectorState& corrector,
                        const Settings& in) {
    if (in.maxStepSeconds == 0 || !corrector.corrected) return false;
    return StepsWithin(sync.recentSteps, nowMs) + std::fabs(error) > static_cast<double>(in.maxStepSeconds);
}

// The key of a valid MAC, when it is one broadcasts are trusted under; null otherwise.
const SymmetricKey* TrustedKey(const MacResult& mac, const Settings& in) {
    return mac.verdict == MacVerdict::kValid && TrustsBroadcastsUnder(in, mac.key->id) ? mac.key : nullptr;
}

// A message refused for want of a valid MAC under a trusted key.
void RefuseUnauthentic(const AuthRefused& refused, uint32_t sender) {
    statusRecord.lastAuthRefused = refused;
    if (NoteRefusal(Refusal::kAuthentication, statusRecord.authRefused, &statusRecord.lastAuthRefusedSender,
                    sender))
        ServiceEvent(Priority::kWarning, "Refusing a message from %s: %s", FormatAddress(sender).text,
                     AuthRefusalReason(refused).c_str());
}

AuthRefused ByMac(const MacResult& mac) {
    return {AuthRefusal::kMac, mac.verdict, mac.keyId};
}

void RefuseReply(uint32_t sender, const char* why) {
    if (NoteRefusal(Refusal::kReply, statusRecord.repliesRefused))
        ServiceEvent(Priority::kWarning, "Refusing a reply from %s: %s", FormatAddress(sender).text, why);
}

// The server changes: said once, with the reason, where the service log listens.
void TellNewServer(uint32_t sender, int stratum, int64_t nowMs) {
    if (!ServiceLogListens()) return;
    const AddressText to = FormatAddress(sender);
    if (syncState.lastServer == 0) {
        ServiceEvent(EventKind::kServerFollowed, Priority::kNotice, "Following %s (stratum %d)", to.text,
                     stratum);
        return;
    }
    const AddressText from = FormatAddress(syncState.lastServer);
    if (syncState.lastStratum > stratum)
        ServiceEvent(EventKind::kServerFollowed, Priority::kNotice,
                     "Following %s (stratum %d) instead of %s (stratum %d): a lower stratum", to.text,
                     stratum, from.text, syncState.lastStratum);
    else
        ServiceEvent(EventKind::kServerFollowed, Priority::kNotice,
                     "Following %s (stratum %d) instead of %s, silent for %lld s", to.text, stratum,
                     from.text, static_cast<long long>((nowMs - syncState.lastAcceptMs) / 1000));
}

// Corrects the clock from an accepted broadcast and makes its sender the server; polls it for the delay
// where the rules say so and mayPoll (a confirmation has just measured it).
void Follow(uint32_t sender, int stratum, int leap, NtpTime transmit, double error, uint32_t key,
            const Arrival& arrival, SocketHandle s, bool mayPoll) {
    const CorrectionAction previousAction = correctorState.lastAction;
    const bool firstCorrection = !correctorState.corrected;
    const bool newServer = sender != syncState.lastServer;
    error = LeapDiscounted(error, arrival.local);
    CorrectionAction action;
    if (precise.active) {
        action = PreciseCorrect(sender, newServer, transmit, arrival, s, key, stratum, error);
    } else {
        CorrectClock(error);
        action = correctorState.lastAction;
    }
    // The clock after the correction, which a step has moved: when the broadcast counts as accepted.
    const NtpTime now = SystemClock().Now();
    TellClock(leap, stratum, error, action, now, newServer);
    const bool corrected = action == CorrectionAction::kStep || action == CorrectionAction::kSlew;
    if (corrected && !firstCorrection) AddStep(syncState.recentSteps, arrival.monotonicMs, std::fabs(error));
    // A step moves the clock at once, and with it the error the next broadcasts are expected to show.
    if (action == CorrectionAction::kStep) syncState.confirmedError -= error;
    const bool current = sender == syncState.lastServer && syncState.delayValid &&
                         AgeSeconds(now, syncState.lastReplyTime) <= kReplyMaxAgeSeconds;
    // The poll is signed with the key the broadcast was, and its reply must be too. PreciseTime polls on its
    // own schedule.
    if (!current && mayPoll && !precise.active)
        (void)PollServer(sender, s, key != 0 ? FindKey(authentication.keys, key) : nullptr,
                         PollPurpose::kDelay, stratum);
    if (newServer) TellNewServer(sender, stratum, arrival.monotonicMs);
    if (syncState.silenceTold && !newServer)
        ServiceEvent(EventKind::kServerBack, Priority::kInfo, "%s is heard again after %lld s",
                     FormatAddress(sender).text,
                     static_cast<long long>((arrival.monotonicMs - syncState.lastAcceptMs) / 1000));
    syncState.silenceTold = false;
    syncState.lastServer = sender;
    syncState.lastAcceptTime = now;
    syncState.lastAcceptMs = arrival.monotonicMs;
    syncState.lastStratum = stratum;
    if (key != 0) AdvanceLatest(syncState, key, transmit);
    ++statusRecord.broadcastsAccepted;
    statusRecord.state = WorkerState::kFollowing;
    statusRecord.lastBroadcast = now;
    if (newServer) statusRecord.serverSince = now;
    // A flood of broadcasts, even ones that are followed, renews the status at most once a second; a new
    // server and a step are always told at once.
    PublishStatus(
        !(newServer || action != CorrectionAction::kSlew || previousAction != CorrectionAction::kSlew));
}

// A correction beyond MaxStep: refused, and the rate put back, so that no rate the corrections before it
// set (forged ones, perhaps) stays in force.
void RefuseCorrection(double error, uint32_t sender, NtpTime now) {
    statusRecord.lastRefusedStep = now;
    statusRecord.lastRefusedStepError = error;
    const char* what = std::fabs(error) > kStepThresholdSeconds ? "step" : "slew";
    if (NoteRefusal(Refusal::kStep, statusRecord.stepsRefused, &statusRecord.lastRefusedStepSender, sender))
        LogEvent(EventKind::kRefusedStep, Priority::kWarning,
                 "Refusing to %s the clock by %.3f seconds; MaxStep is %u", what, error,
                 settings.maxStepSeconds);
    else
        LOG_LINE("Refusing to %s the clock by %.3f seconds; MaxStep is %u", what, error,
                 settings.maxStepSeconds);
    ResetRate();
}

// A broadcast whose sender is not yet confirmed, or whose error has left the band its confirmation set, is
// held, and its sender asked to confirm it.
void Hold(const BroadcastFacts& b, const SymmetricKey* key, SocketHandle s) {
    if (NoteRefusal(Refusal::kUnconfirmed, statusRecord.broadcastsUnconfirmed))
        ServiceEvent(Priority::kWarning, "Holding time broadcasts from %s until it answers a signed poll",
                     FormatAddress(b.sender).text);
    // The broadcast a poll confirms must have come before it: while one waits for its answer (a poll
    // within kMinPollIntervalMs), the others are only counted.
    const Candidate held{b.sender, b.stratum, b.leap, b.transmit, b.arrival.local, key->id};
    if (!PollServer(b.sender, s, key, PollPurpose::kConfirm, b.stratum, &held)) return;
    LOG_LINE("Waiting for %s to answer a signed poll before its broadcasts are followed",
             FormatAddress(b.sender).text);
}

// The slot a poll to server takes: its own, or one no poll holds within kMinPollIntervalMs; -1 when the
// sender was polled within it, or every slot was.
int PollSlot(uint32_t server, int64_t nowMs) {
    int slot = -1;
    for (int i = 0; i < kMaxPolls; ++i) {
        const Poll& poll = syncState.polls[i];
        const bool recent = poll.server != 0 && nowMs - poll.sentMs < kMinPollIntervalMs;
        if (poll.server == server) return recent ? -1 : i;
        if (!recent && slot < 0) slot = i;
    }
    return slot;
}

// Bits below the clock's resolution in a poll's transmit time, which its reply must echo: unknown to
// whoever would forge that reply (RFC 5905 section 15, the origin timestamp as a cookie).
void Unpredictable(uint8_t* transmit) {
    constexpr uint32_t kFractionPerMillisecond = 4294967;
    uint32_t noise = 0;
    if (!FillRandom(reinterpret_cast<uint8_t*>(&noise), sizeof noise)) return;
    const uint32_t fraction = (static_cast<uint32_t>(transmit[4]) << 24) |
                              (static_cast<uint32_t>(transmit[5]) << 16) |
                              (static_cast<uint32_t>(transmit[6]) << 8) | transmit[7];
    const uint32_t noisy = fraction + noise % kFractionPerMillisecond;
    for (int i = 0; i < 4; ++i) transmit[4 + i] = static_cast<uint8_t>(noisy >> (24 - 8 * i));
}

}  // namespace

int64_t TellSilence() {
    if (syncState.lastServer == 0 || syncState.silenceTold) return -1;
    const int64_t due = syncState.lastAcceptMs + int64_t{kSilenceSeconds} * 1000;
    const int64_t now = MonotonicMs();
    if (now < due) return due;
    syncState.silenceTold = true;
    ServiceEvent(EventKind::kServerSilent, Priority::kWarning, "%s has been silent for %lld s",
                 FormatAddress(syncState.lastServer).text,
                 static_cast<long long>((now - syncState.lastAcceptMs) / 1000));
    return -1;
}

void LoadConfiguredDelay() {
    if (settings.offset.kind != FoundValue::kAbsent && !settings.fixedDelay) {
        LogEvent(Priority::kWarning, "Offset %s is not a count of milliseconds; the delay will be measured",
                 Shown(settings.offset).c_str());
        return;
    }
    if (!settings.fixedDelay) return;
    syncState.fixedDelay = 1;
    syncState.delayValid = 1;
    syncState.delay = NtpTime(settings.offsetMs) / 1000;
    LOG_LINE("Offset is %.3f seconds", syncState.delay.Seconds());
}

Judged JudgeBroadcast(const BroadcastFacts& b, const SyncState& sync, const CorrectorState& corrector,
                      const Settings& in) {
    if (in.serversConfigured) {
        bool allowed = false;
        for (const AllowedNetwork& network : in.servers)
            allowed = allowed || NetworkContains(network, b.sender);
        if (!allowed) return {BroadcastVerdict::kNotAllowed, 0};
    }
    if (in.trustedConfigured) {
        const SymmetricKey* key = TrustedKey(b.mac, in);
        if (key == nullptr) return {BroadcastVerdict::kUnsigned, 0};
        // A signed broadcast recorded and sent again verifies as well as ever, from any address: only one
        // later than the latest seen under its key counts.
        const NtpTime* latest = LatestUnder(sync, key->id);
        if (latest != nullptr && (b.transmit - *latest).Seconds() <= 0)
            return {BroadcastVerdict::kReplayed, 0};
    }
    // A zero transmit time is no time at all: taken at face value it would step the clock by 136 years.
    const bool usable = b.stratum >= kMinStratum && b.stratum <= kMaxStratum && !b.transmitZero;
    const bool accepted = usable && (b.sender == sync.lastServer || sync.lastStratum > b.stratum ||
                                     AgeSeconds(b.arrival.local, sync.lastAcceptTime) > kSilenceSeconds);
    if (!accepted) return {BroadcastVerdict::kIgnored, 0};
    const double error =
        BroadcastError(b.transmit, b.arrival.local, sync.delayValid != 0, sync.delay).Seconds();
    // The first broadcast and every new server: a signed broadcast proves who sent it, not when; nor does
    // one from the server whose time has moved since its last signed answer.
    if (in.trustedConfigured && (b.sender != sync.lastServer || !sync.confirmed ||
                                 std::fabs(error - sync.confirmedError) > kReconfirmBandSeconds))
        return {BroadcastVerdict::kUnconfirmed, 0};
    if (CorrectionTooLarge(error, b.arrival.monotonicMs, sync, corrector, in))
        return {BroadcastVerdict::kStepTooLarge, error};
    return {BroadcastVerdict::kAccepted, error};
}

void HandleBroadcast(const SntpMessage& message, uint32_t sender, const Arrival& arrival, SocketHandle s,
                     const MacResult& mac) {
    const BroadcastFacts facts{sender,
                               MessageStratum(message),
                               LeapIndicator(message),
                               TransmitTime(message),
                               TimestampIsZero(message, kOffsetTransmit),
                               mac,
                               arrival};
    const Judged judged = JudgeBroadcast(facts, syncState, correctorState, settings);
    // A signed broadcast is spent once seen, whoever sent it and whatever becomes of it: a copy from any
    // address, however soon after, is a replay.
    if (const SymmetricKey* key = TrustedKey(mac, settings))
        AdvanceLatest(syncState, key->id, facts.transmit);
    // Events anyone on the network can cause at will renew the status at most once a second.
    switch (judged.verdict) {
        case BroadcastVerdict::kNotAllowed:
            if (NoteRefusal(Refusal::kServers, statusRecord.broadcastsRefused,
                            &statusRecord.lastRefusedSender, sender))
                ServiceEvent(Priority::kWarning, "Refusing time broadcasts from %s: it is not in Servers",
                             FormatAddress(sender).text);
            break;
        case BroadcastVerdict::kUnsigned:
            RefuseUnauthentic(ByMac(mac), sender);
            break;
        case BroadcastVerdict::kReplayed:
            // The server's own broadcasts refused as replays: its clock was ahead once. Its answer to a
            // signed poll tells its time now (HandleReply).
            if (sender == syncState.lastServer)
                (void)PollServer(sender, s, mac.key, PollPurpose::kCheck, facts.stratum);
            RefuseUnauthentic({AuthRefusal::kReplayed, mac.verdict, mac.keyId}, sender);
            break;
        case BroadcastVerdict::kIgnored:
            ++statusRecord.broadcastsIgnored;
            PublishStatus(true);
            break;
        case BroadcastVerdict::kUnconfirmed:
            Hold(facts, mac.key, s);
            break;
        case BroadcastVerdict::kStepTooLarge:
            RefuseCorrection(judged.error, sender, arrival.local);
            break;
        case BroadcastVerdict::kAccepted:
            Follow(sender, facts.stratum, facts.leap, facts.transmit, judged.error,
                   settings.trustedConfigured ? mac.key->id : 0, arrival, s, true);
            break;
    }
    LOG_LINE("NTP Time broadcast received from %s", FormatAddress(sender).text);
}

bool PollServer(uint32_t server, SocketHandle s, const SymmetricKey* key, PollPurpose purpose, int stratum,
                const Candidate* held) {
    const SystemClock clock;
    const NtpTime now = clock.Now();
    if (syncState.fixedDelay && purpose == PollPurpose::kDelay) {
        LOG_LINE("Offset is %.3f seconds", syncState.delay.Seconds());
        return false;
    }
    // Until the reply arrives, broadcasts are corrected without a delay: none, rather than another server's.
    // PreciseTime keeps the least of several round trips, and drops it only for another server.
    if (purpose == PollPurpose::kDelay && !precise.active) syncState.delayValid = 0;
    // Anyone can send broadcasts that ask for a poll: each sender is asked at most once every
    // kMinPollIntervalMs, and all of them together at most kMaxPolls times, however many addresses a
    // flood claims; a sender that never answers holds no other's poll off.
    const int64_t nowMs = MonotonicMs();
    const int slot = PollSlot(server, nowMs);
    if (slot < 0) return false;
    Poll& poll = syncState.polls[slot];
    poll = Poll{};
    poll.server = server;
    poll.sentMs = nowMs;
    statusRecord.lastPoll = now;
    SntpMessage request = BuildClientRequest(now);
    poll.origin = TransmitTime(request);
    if (precise.active) {
        // The round trip is timed on the raw clock, so the transmit time need not be a time at all: all of
        // it is a cookie no one off the path can guess (as RFC 9109 has clients send).
        int64_t raw = 0;
        NtpTime sent;
        (void)SystemClock().PreciseNow(sent, raw);
        poll.origin = sent;
        poll.sentRawNs = raw;
        (void)FillRandom(request.bytes + kOffsetTransmit, kTimestampSize);
    } else {
        Unpredictable(request.bytes + kOffsetTransmit);
    }
    std::memcpy(request.bytes + kOffsetReference, request.bytes + kOffsetTransmit, kTimestampSize);
    const SocketAddress destination{server, HostToNet16(kNtpPort)};
    uint8_t bytes[kMaxAuthenticatedBytes];
    std::memcpy(bytes, request.bytes, kSntpMessageSize);
    const int length = key != nullptr ? AppendMac(bytes, *key) : kSntpMessageSize;
    bool sent = false;
    if (length == 0 || Net().Send(s, bytes, length, destination) == -1) {
        ++statusRecord.sendFailures;
        LOG_LINE("NTP sendto failed");
    } else {
        sent = true;
        poll.waiting = true;
        poll.key = key != nullptr ? key->id : 0;
        poll.stratum = stratum;
        poll.purpose = purpose;
        if (held != nullptr) poll.held = *held;
        std::memcpy(poll.transmit, request.bytes + kOffsetTransmit, kTimestampSize);
    }
    LOG_LINE("Poll NTP server");
    return sent;
}

bool IsOwnPoll(const uint8_t* request) {
    for (const Poll& poll : syncState.polls)
        if (poll.waiting && poll.key != 0 &&
            std::memcmp(request + kOffsetTransmit, poll.transmit, kTimestampSize) == 0)
            return true;
    return false;
}

ReplyJudged JudgeReply(const ReplyFacts& r, const SyncState& sync, const CorrectorState& corrector,
                       const Settings& in) {
    const SntpMessage& m = r.message;
    // Only the answer to our own outstanding request counts: anyone can send a mode-4 message, and a
    // delay taken from it would shift the clock (RFC 4330 section 5).
    const int slot = FindPoll(sync, r.sender, m.bytes + kOffsetOriginate);
    if (slot < 0) return {ReplyVerdict::kUnmatched, -1, NtpTime(), 0};
    const Poll& poll = sync.polls[slot];
    // A signed request wants a reply signed under the same key: anyone can copy the origin from the wire.
    const bool signedPoll = poll.key != 0;
    if (signedPoll && !(r.mac.verdict == MacVerdict::kValid && r.mac.key->id == poll.key))
        return {ReplyVerdict::kUnsigned, slot, NtpTime(), 0};
    // Refused like an unmatched reply: the request stays open, and the next broadcast asks again. A signed
    // reply speaks for the broadcasts it measures only at their stratum: a reply of another stratum is
    // another server's, our own poll sent back to us through one (reflected).
    NtpTime delay;
    if (!DelayFromReply(m, poll.origin, r.arrival.local, delay) ||
        (signedPoll && MessageStratum(m) != poll.stratum))
        return {ReplyVerdict::kImplausible, slot, NtpTime(), 0};
    if (poll.purpose != PollPurpose::kConfirm) return {ReplyVerdict::kMeasured, slot, delay, 0};
    // The held broadcast and this answer tell the same time, or one of them is not what it claims.
    const Candidate& held = poll.held;
    const double expected = (held.transmit + (r.arrival.local - held.arrival)).Seconds();
    if (held.sender != r.sender ||
        std::fabs(TransmitTime(m).Seconds() - expected) > kConfirmationToleranceSeconds)
        return {ReplyVerdict::kDisagrees, slot, delay, 0};
    // Confirmed: the held broadcast is followed with the error it had when it came, under the delay in force
    // once this reply is taken.
    const double error =
        BroadcastError(held.transmit, held.arrival, true, sync.fixedDelay ? sync.delay : delay).Seconds();
    if (CorrectionTooLarge(error, r.arrival.monotonicMs, sync, corrector, in))
        return {ReplyVerdict::kStepTooLarge, slot, delay, error};
    return {ReplyVerdict::kConfirmed, slot, delay, error};
}

void HandleReply(const SntpMessage& message, uint32_t sender, const Arrival& arrival, const MacResult& mac) {
    const ReplyJudged judged =
        JudgeReply({sender, message, mac, arrival}, syncState, correctorState, settings);
    switch (judged.verdict) {
        case ReplyVerdict::kUnmatched:
            RefuseReply(sender, "it answers no request of ours");
            return;
        case ReplyVerdict::kUnsigned:
            ++statusRecord.repliesRefused;
            RefuseUnauthentic(ByMac(mac), sender);
            return;
        case ReplyVerdict::kImplausible:
            RefuseReply(sender, "it is implausible or of another stratum");
            return;
        default:
            break;
    }
    // Our request is answered.
    Poll& poll = syncState.polls[judged.poll];
    poll.waiting = false;
    // The server's time now, fresh by its origin and signed: whatever was signed before it is spent (a
    // recording replayed later is a replay), and a latest time ahead of it was a clock wrong once.
    if (poll.key != 0) SetLatest(syncState, poll.key, TransmitTime(message));
    const Candidate held = poll.held;
    if (judged.verdict == ReplyVerdict::kDisagrees) {
        // The held broadcast was a recording: the server may be asked again at its next broadcast.
        poll = Poll{};
        ++statusRecord.repliesRefused;
        RefuseUnauthentic({AuthRefusal::kDisagrees, mac.verdict, mac.keyId}, sender);
        return;
    }
    if (precise.active) {
        // The round trip on the raw clock, less the server's holding time.
        const double trip = static_cast<double>(arrival.rawNs - poll.sentRawNs) / 1e9 -
                            (TransmitTime(message) - ReceiveTime(message)).Seconds();
        // Only the followed server's, or the one a confirmation is about to make it: a late answer from
        // the one before gives no delay to this one.
        syncState.lastReplyTime = arrival.local;
        if (trip >= 0 && (sender == syncState.lastServer || poll.purpose == PollPurpose::kConfirm))
            PreciseRoundTrip(sender, trip);
        LogBurst(Refusal::kDelay, EventKind::kOther, Priority::kInfo, "Offset is %.6f seconds",
                 syncState.delay.Seconds());
    } else if (!syncState.fixedDelay) {
        syncState.lastReplyTime = arrival.local;
        syncState.delayValid = 1;
        syncState.delay = judged.delay;
        // A flood of replayed broadcasts asks for a poll now and then: the service log hears of a few.
        LogBurst(Refusal::kDelay, EventKind::kOther, Priority::kInfo, "Offset is %.3f seconds",
                 syncState.delay.Seconds());
    }
    ++statusRecord.repliesAccepted;
    if (judged.verdict == ReplyVerdict::kMeasured) {
        PublishStatus();
    } else if (judged.verdict == ReplyVerdict::kStepTooLarge) {
        RefuseCorrection(judged.error, sender, arrival.local);
    } else {
        // Confirmed: its broadcasts are followed while their error stays near this one.
        syncState.confirmed = true;
        syncState.confirmedError = judged.error;
        Follow(sender, held.stratum, held.leap, held.transmit, judged.error, held.key, arrival,
               kInvalidSocket, false);
    }
}

int64_t SendPrecisePolls() {
    PreciseDiscipline& p = precise;
    if (!p.active || p.nextPollMs < 0 || p.pollServer == 0 || p.pollSocket == kInvalidSocket ||
        syncState.fixedDelay)
        return -1;
    const int64_t now = MonotonicMs();
    if (now >= p.nextPollMs) {
        const SymmetricKey* key = p.pollKey != 0 ? FindKey(authentication.keys, p.pollKey) : nullptr;
        if (PollServer(p.pollServer, p.pollSocket, key, PollPurpose::kDelay, p.pollStratum))
            PrecisePollSent(p.pollServer);
        else
            p.nextPollMs = now + kMinPollIntervalMs;  // its slot was taken: once it is free
    }
    return p.nextPollMs;
}
