#pragma once

#include <cstdint>
#include <vector>

#include "time/ClockBackend.h"
#include "time/NtpTime.h"
#include "time/SntpMessage.h"

// Broadcast tracking's state: the server followed, the delay, the poll outstanding, and what
// authenticated time and MaxStep remember. Only the worker touches it.

// A followed server this quiet may be replaced by any other, and no longer keeps the clock synchronised.
constexpr uint32_t kSilenceSeconds = 600;

// The latest transmit time seen under one key: a broadcast under it that is no later is a replay.
struct KeyFreshness {
    uint32_t key;
    NtpTime latest;
};

// With TrustedKeys a sender becomes the server only once it has answered a signed poll sent after its
// broadcast: the broadcast held until then.
struct Candidate {
    uint32_t sender = 0;  // 0: none held
    int stratum = 0;
    int leap = 0;
    NtpTime transmit = NtpTime();
    NtpTime arrival = NtpTime();
    uint32_t key = 0;
};

// The steps made after the first correction, for MaxStep's sum over 600 s: a sum per second of
// MonotonicMs, in a table of fixed size however many steps a flood of forged broadcasts causes. A step
// counts for 600 to 601 s, never less.
struct StepWindow {
    static constexpr int kSlots = 601;
    double seconds[kSlots] = {};  // the slot of second t holds the steps of t
    double total = 0;             // of the slots
    int64_t upTo = 0;             // the latest second the slots have been cleared for
};
// The seconds stepped within the window at nowMs, the window left as it is.
double StepsWithin(const StepWindow& window, int64_t nowMs);
void AddStep(StepWindow& window, int64_t atMs, double seconds);

// kDelay: measure the delay (none is used until the reply comes); kConfirm: a server's confirmation;
// kCheck: ask the server its time now (its broadcasts were refused as replays), the delay left as it is.
enum class PollPurpose { kDelay, kConfirm, kCheck };

// A request a reply may answer (RFC 4330 section 5): its server and transmit timestamp. One a server at
// a time, so that a sender that never answers (a recording replayed from any address) holds no other's
// confirmation off.
struct Poll {
    uint32_t server = 0;                    // network byte order; 0: the slot is free
    bool waiting = false;                   // its request went out, and no reply has come
    uint8_t transmit[kTimestampSize] = {};  // as sent, with bits no one can guess below the clock's
    NtpTime origin = NtpTime();             // the time it went out, as the clock read it
    uint32_t key = 0;  // the key the request was signed with, which its reply must carry; 0: none
    int stratum = 0;   // the stratum of the broadcast the poll was sent for
    PollPurpose purpose = PollPurpose::kDelay;
    int64_t sentMs = 0;  // MonotonicMs
    Candidate held;      // kConfirm: the broadcast the reply is to confirm
    int64_t sentRawNs = 0;  // PreciseTime: when it went out by the raw clock
};
constexpr int64_t kMinPollIntervalMs = 8000;  // polls to one sender leave at most this often
// The polls that may leave within any kMinPollIntervalMs, of every sender together: however many addresses
// a flood of broadcasts claims, it draws no more.
constexpr int kMaxPolls = 4;

// What the kernel was last told of the clock (RtcSync); kNothing: not yet.
enum class KernelSync { kNothing, kSynchronised, kUnsynchronised, kFailed, kNotKept };

struct SyncState {
    uint32_t lastServer = 0;  // network byte order
    int32_t lastStratum = 0;
    NtpTime lastAcceptTime = NtpTime();
    int64_t lastAcceptMs = 0;   // MonotonicMs then: silences told in seconds that no step bends
    bool silenceTold = false;   // the service log heard the followed server fell silent
    NtpTime delay = NtpTime();  // seconds
    int delayValid = 0;
    int fixedDelay = 0;
    NtpTime lastReplyTime = NtpTime();
    Poll polls[kMaxPolls];
    // Authenticated time only.
    std::vector<KeyFreshness> freshness;
    // The error the followed server's broadcasts are expected to show since its last confirmation: one
    // that leaves kReconfirmBandSeconds around it is held until a fresh signed answer confirms it.
    bool confirmed = false;
    double confirmedError = 0;  // seconds
    StepWindow recentSteps;
    // The leap second the followed server announces, as last told to the clock; leapTold is false from
    // the start and after each step, which drops a leap. leapNear: the leap the clock is armed for, or
    // the one it made last, at leapMidnight (Unix seconds by this clock).
    LeapSecond leapAnnounced = LeapSecond::kNone;
    bool leapTold = false;
    LeapSecond leapNear = LeapSecond::kNone;
    int64_t leapMidnight = 0;
    KernelSync kernelSync = KernelSync::kNothing;
    int64_t kernelToldMs = 0;  // MonotonicMs
};

extern SyncState syncState;

// The poll to server whose transmit timestamp is transmit, or -1; -1 for a free server.
int FindPoll(const SyncState& sync, uint32_t server, const uint8_t* transmit);
// Whether any poll waits for its reply; whether one to sender waits for a signed reply.
bool AwaitingReply(const SyncState& sync);
bool AwaitsSignedReply(const SyncState& sync, uint32_t sender);

// The latest time seen under key, or null.
const NtpTime* LatestUnder(const SyncState& sync, uint32_t key);
void SetLatest(SyncState& sync, uint32_t key, NtpTime latest);
// The latest time under key moved on to t, when t is later (or the first).
void AdvanceLatest(SyncState& sync, uint32_t key, NtpTime t);
