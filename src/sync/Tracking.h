#pragma once

#include <cstdint>

#include "auth/Keys.h"
#include "config/Settings.h"
#include "net/Socket.h"
#include "sync/CorrectorState.h"
#include "sync/SyncState.h"
#include "time/NtpTime.h"
#include "time/SntpMessage.h"

// Broadcast tracking and delay measurement: which broadcasts are followed, the clock error each gives, and
// the one-way delay, measured by a poll or configured. Each datagram is judged from what it says and the
// state alone (JudgeBroadcast, JudgeReply), then the verdict is followed.

// Under TrustedKeys, the followed server's broadcasts are followed while their error stays this near the
// one its last signed answer confirmed: far above a LAN's delay and jitter, and the 32 ms a slew at the
// kernel's 500 ppm moves the clock between two broadcasts. Beyond it a broadcast waits for a fresh signed
// answer that agrees, so whoever relays the server's broadcasts can shift this clock by no more.
constexpr double kReconfirmBandSeconds = 0.25;

void LoadConfiguredDelay();  // the delay of the settings in force, logged
// Once the followed server has been silent for kSilenceSeconds, the service log is told (and told again
// when it is heard once more); returns when that is due (MonotonicMs), or -1.
int64_t TellSilence();

// What becomes of a broadcast.
enum class BroadcastVerdict {
    kAccepted,     // correct the clock from it
    kIgnored,      // unusable (stratum, no time) or not the server by the tracking rules
    kNotAllowed,   // its sender is not in Servers
    kUnsigned,     // no valid MAC under a trusted key
    kReplayed,     // no later than the latest accepted under its key
    kUnconfirmed,  // its sender has not yet answered a signed poll sent after a broadcast of its
    kStepTooLarge  // with the steps of the last 600 s, beyond MaxStep
};
struct BroadcastFacts {
    uint32_t sender;
    int stratum;
    int leap;  // the leap indicator
    NtpTime transmit;
    bool transmitZero;
    MacResult mac;
    Arrival arrival;
};
struct Judged {
    BroadcastVerdict verdict;
    double error;  // seconds, for kAccepted and kStepTooLarge
};
Judged JudgeBroadcast(const BroadcastFacts& facts, const SyncState& sync, const CorrectorState& corrector,
                      const Settings& in);

// What becomes of a server reply.
enum class ReplyVerdict {
    kUnmatched,    // it answers no request of ours
    kUnsigned,     // our poll was signed, and this reply is not, under its key
    kImplausible,  // its times cannot be believed, or (to a signed poll) it is of another stratum
    kDisagrees,    // it confirms no held broadcast: another sender's, or another time
    kMeasured,     // the delay it gives is taken
    kConfirmed,    // the delay is taken, and the held broadcast followed
    kStepTooLarge  // the delay is taken, and the held broadcast refused: beyond MaxStep
};
struct ReplyFacts {
    uint32_t sender;
    SntpMessage message;
    MacResult mac;
    Arrival arrival;
};
struct ReplyJudged {
    ReplyVerdict verdict;
    int poll;       // the poll it answers, from kUnsigned on; -1 before
    NtpTime delay;  // seconds, from kDisagrees on
    double error;   // seconds, the held broadcast's, for kConfirmed and kStepTooLarge
};
ReplyJudged JudgeReply(const ReplyFacts& facts, const SyncState& sync, const CorrectorState& corrector,
                       const Settings& in);

// mac: what follows the message's 48 bytes, when keys are loaded.
void HandleBroadcast(const SntpMessage& message, uint32_t sender, const Arrival& arrival, SocketHandle s,
                     const MacResult& mac = {});
void HandleReply(const SntpMessage& message, uint32_t sender, const Arrival& arrival,
                 const MacResult& mac = {});
// key: sign the request with it (null: no MAC); held: for a confirmation, the broadcast it confirms.
// False when no request went out: a delay configured, a poll to server within the last
// kMinPollIntervalMs or kMaxPolls to all, or a failed send. A confirmation goes out with a delay
// configured.
bool PollServer(uint32_t server, SocketHandle s, const SymmetricKey* key = nullptr,
                PollPurpose purpose = PollPurpose::kDelay, int stratum = 0, const Candidate* held = nullptr);
// PreciseTime's polls (a burst on a new server, then one an hour) sent when due; returns when the next
// is (MonotonicMs), or -1.
int64_t SendPrecisePolls();
// Whether a request is our own outstanding signed poll sent back to us: never answered.
bool IsOwnPoll(const uint8_t* request);
