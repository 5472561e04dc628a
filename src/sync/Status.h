#pragma once

#include <cstdint>
#include <string>

#include "auth/Keys.h"
#include "base/Log.h"
#include "net/Socket.h"
#include "sync/CorrectorState.h"
#include "time/ClockBackend.h"
#include "time/NtpTime.h"

// What the worker has done, for the status file, the service manager's status line and zelkorstat. Only
// the worker writes it; the responder's path only counts, with plain increments. What SyncState and
// CorrectorState already hold (the server, its stratum, the delay, the corrections) is read from them.

enum class WorkerState { kStarting, kWaiting, kFollowing, kBroadcasting, kFailed };

// Why a message was refused for want of authenticity: its MAC (the check's verdict says how), or
// tracking's judgement of a valid one (a replay of an earlier broadcast; a confirming reply whose time
// is not its broadcast's).
enum class AuthRefusal { kMac, kReplayed, kDisagrees };
struct AuthRefused {
    AuthRefusal why = AuthRefusal::kMac;
    MacVerdict verdict = MacVerdict::kAbsent;
    uint32_t keyId = 0;
};
std::string AuthRefusalReason(const AuthRefused& refused);  // "no MAC", "unknown key 7", ...

struct StatusRecord {
    int serverMode = 0;
    WorkerState state = WorkerState::kStarting;
    NtpTime serverSince = NtpTime();  // when the followed server was first accepted
    NtpTime lastBroadcast = NtpTime();
    NtpTime lastPoll = NtpTime();
    uint64_t datagrams[8] = {};  // received, by mode
    uint64_t requestsAnswered = 0;
    uint64_t requestsDropped = 0;  // too short, sent to every host, our own poll reflected, or unsendable
    uint64_t requestsLimited = 0;  // beyond RateLimit
    uint64_t broadcastsAccepted = 0;
    uint64_t broadcastsIgnored = 0;
    uint64_t broadcastsRefused = 0;      // from senders not in Servers
    uint64_t broadcastsUnconfirmed = 0;  // before their sender answered a signed poll
    uint32_t lastRefusedSender = 0;
    uint64_t stepsRefused = 0;  // errors beyond MaxStep
    NtpTime lastRefusedStep = NtpTime();
    double lastRefusedStepError = 0.0;  // seconds
    uint32_t lastRefusedStepSender = 0;
    uint64_t authRefused = 0;  // messages without a valid MAC under a trusted key, when one is required
    uint32_t lastAuthRefusedSender = 0;
    AuthRefused lastAuthRefused{};
    uint64_t repliesAccepted = 0;
    uint64_t repliesRefused = 0;
    uint64_t receiveFailures = 0;
    int receiveFailuresInARow = 0;  // with no datagram between: the listener gives up at a limit
    uint64_t sendFailures = 0;
    uint32_t maxErrorUs = 0;  // the bounds of the clock's error after the last correction
    uint32_t estErrorUs = 0;
    uint64_t leapsIgnored = 0;     // broadcasts announcing a leap second on a day that has none
    uint64_t leapsDiscounted = 0;  // corrections that left alone the leap second this clock made
    uint64_t broadcastsSent = 0;
    NtpTime lastBroadcastSent = NtpTime();
    char failure[160] = {};  // the set-up failure's log line
    ReceiveStamps receiveStamps = ReceiveStamps::kRead;  // PreciseTime: where arrivals come from
};

extern StatusRecord statusRecord;

// The worker begins: a fresh record, and from now on the status file at StatusFilePath() (unless it is
// empty) and the summary for the service manager are kept at every event.
void StartStatus(int serverMode);
// Logs the failure that ends the worker (a set-up failure, receives that fail for good) as one, keeps it
// as the record's failure and publishes.
void StatusFailed(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same for a failure the network reported with error (which the line gives as a number): the service
// log's line also gives its text, "[98: Address already in use]".
void StatusNetFailed(int error, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same for a failure already logged (the settings that refuse the start).
void StatusFailedWith(const char* text);
// An event happened: the file and the summary are renewed. Events that anyone on the network can cause
// at will (a broadcast ignored) ask for it only now and then: sparingly renews at most once a second, and
// what it held back is written when that second is up (PublishPendingStatus).
void PublishStatus(bool sparingly = false);
// Writes what a sparing renewal held back once its second is up; returns when that is (MonotonicMs), or
// -1 when nothing waits.
int64_t PublishPendingStatus();
// Writes what was held back at once: at a clean stop, the status is left complete.
void FlushPendingStatus();

// Back to no record, no file and no summary, as before StartStatus (tests).
void ResetStatus();

// The bookkeeping of every refusal: counted, its sender remembered, and the status renewed, at once for
// the first of its count and then sparingly (anyone can cause refusals at will). True when the service
// log is to hear of this one now, with the reason the caller gives; the rest go into the minute's summary.
bool NoteRefusal(Refusal kind, uint64_t& count, uint32_t* lastSender = nullptr, uint32_t sender = 0);

// What the status shows besides the record, from tracking, the corrector, the settings, the keys and the
// clock, taken when it is written (TakeStatusSnapshot, beside the worker's state).
struct StatusSnapshot {
    NtpTime now;
    uint32_t server = 0;  // network byte order; 0: none
    int stratum = 0;
    bool delayValid = false;
    bool fixedDelay = false;
    double delaySeconds = 0;
    const char* delaySource = "none";  // "measured", "configured" or "none"
    NtpTime delayUpdated;
    bool awaitingReply = false;
    uint32_t adjustment = 0;  // 0 and 0 when the clock cannot tell
    uint32_t increment = 0;
    CorrectorState corrector;
    const char* kernelSync = "off";
    LeapSecond leap = LeapSecond::kNone;
    int64_t leapMidnight = 0;
    std::string allowedServers = "any";  // "any", "none" or the list
    uint32_t maxStepSeconds = 0;
    std::string trusted = "off";  // "off", "none" or the key IDs
    std::string keys;             // the key IDs loaded
    uint32_t broadcastKey = 0;
    // PreciseTime: the frequency in force (ppm), and the fit's spread (us) over its samples.
    bool precise = false;
    double frequencyPpm = 0;
    double fitSpreadUs = 0;
    int fitSamples = 0;
};
StatusSnapshot TakeStatusSnapshot();

// The status file's text: key=value lines, "version=1" first.
std::string FormatStatus(const StatusRecord& record, const StatusSnapshot& snapshot);
// One line for the service manager, such as "Following 10.1.2.3 (stratum 2); last correction -0.80 ms
// (slew) at 19:04:12 UTC; delay 0.41 ms measured".
std::string StatusSummary(const StatusRecord& record, const StatusSnapshot& snapshot);

// Platform: the status file's path (ZELKOR_STATUS, else the platform's place), the folder made ready for
// it (false, with a reason, when it cannot be the daemon's own; path becomes where a link the system made
// leads), and the process id.
std::string StatusFilePath();
bool PrepareStatusFolder(std::string& path, std::string& problem);
unsigned long CurrentProcessId();
