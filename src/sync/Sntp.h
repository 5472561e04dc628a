#pragma once

#include <cstdint>
#include <vector>

#include "auth/Keys.h"
#include "config/Settings.h"
#include "net/Socket.h"
#include "time/ClockBackend.h"
#include "time/NtpTime.h"
#include "time/SntpMessage.h"

// Client mode: the listener and responder, broadcast tracking and delay measurement, the clock
// corrector. Server mode: the broadcaster. All state below is touched by the one worker thread only.

// The latest transmit time accepted under one key: a broadcast under it that is no later is a replay.
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
void ExpireSteps(StepWindow& window, int64_t nowMs);
void AddStep(StepWindow& window, int64_t atMs, double seconds);

// kDelay: measure the delay (none is used until the reply comes); kConfirm: a new server's confirmation;
// kCheck: ask the server its time now (its broadcasts were refused as replays), the delay left as it is.
enum class PollPurpose { kDelay, kConfirm, kCheck };

// What the kernel was last told of the clock (RtcSync); kNothing: not yet.
enum class KernelSync { kNothing, kSynchronised, kUnsynchronised, kFailed, kNotKept };

struct SyncState {
    uint32_t lastServer = 0;  // network byte order
    int32_t lastStratum = 0;
    NtpTime lastAcceptTime = NtpTime();
    NtpTime delay = NtpTime();  // seconds
    int delayValid = 0;
    int fixedDelay = 0;
    NtpTime lastReplyTime = NtpTime();
    // The one request a reply may answer (RFC 4330 section 5): its server and transmit timestamp.
    int awaitingReply = 0;
    uint32_t polledServer = 0;
    uint8_t polledTransmit[kTimestampSize] = {};
    uint32_t polledKey = 0;  // the key the request was signed with, which its reply must carry; 0: none
    int polledStratum = 0;   // the stratum of the broadcast the poll was sent for
    PollPurpose polledFor = PollPurpose::kDelay;
    // Polls leave at most once every kPollIntervalMs, whatever arrives.
    int polled = 0;
    int64_t lastPollMs = 0;  // MonotonicMs
    // Authenticated time only.
    std::vector<KeyFreshness> freshness;
    Candidate candidate;
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

struct CorrectorState {
    int prevPositive = 1;
    double prevError = 0.0;
    int armed = 1;
    uint32_t bestGuess = 0;
    int corrected = 0;    // a step or a slew has been made since the start
    int rateRefused = 0;  // the clock refused the last change of its rate
};

// The keys loaded from the keys file Keys names.
struct Authentication {
    KeyList keys;
};

extern SyncState syncState;
extern CorrectorState correctorState;
extern Authentication authentication;
// The settings in force, read once at start; only the worker reads them after that.
extern Settings settings;

// Reads the settings and the keys file, logs what is in force and what is ignored, and fills settings
// and the keys. False, with each reason logged as a failure and the first in refusal, when Zelkor must
// not start.
bool LoadSettings(std::string& refusal);

constexpr int kMulticastGroupOctets[4] = {224, 0, 1, 1};

// Where a worker may be ended: only while it waits, in its receive or its sleep, never while it works
// (a clock half set, a file half written). The run loop installs the platform's gate; without one the
// worker never ends.
class WorkerGate {
  public:
    enum Wait { kReadable, kTimedOut, kEnd };
    virtual ~WorkerGate() = default;
    // Before a blocking receive on s: waits for a datagram, at most timeoutMs (-1: without end). kEnd when
    // the worker is to end instead of receiving; after kReadable, AfterReceive follows the receive.
    virtual Wait BeforeReceive(SocketHandle s, int timeoutMs) = 0;
    virtual void AfterReceive() = 0;
    // The broadcaster's sleep between broadcasts: false when the worker is to end.
    virtual bool Pause(uint32_t milliseconds) = 0;
};
WorkerGate& CurrentWorkerGate();
void InstallWorkerGate(WorkerGate* gate);  // null restores the one that never ends

// How a worker ends: the code the service then stops with (its exit status on Linux, its service-specific
// code on Windows). Set-up failures end it with 1, as they always have.
constexpr uint32_t kWorkerEnded = 0;
constexpr uint32_t kNetworkFailed = 1;    // the socket could not be set up, or every receive fails
constexpr uint32_t kSettingsRefused = 6;  // the configuration cannot be used (systemd: NOTCONFIGURED)
// Receives that fail one after another, with no datagram between, before the listener gives up: far more
// than any passing fault (a full buffer, an ICMP error a platform reports) produces.
constexpr int kMaxReceiveFailuresInARow = 1000;

// Thread entries; the argument is ignored. They return kNetworkFailed when set-up fails, and kWorkerEnded
// when their gate ends them.
uint32_t ListenerThread(void* argument);
uint32_t BroadcasterThread(void* argument);

// The listener's set-up (socket, bind, multicast join); false, logged, on failure.
bool OpenListenerSocket(SocketHandle& s);
// Datagrams taken per receive where the platform can batch; each is still handled on its own.
constexpr int kListenBatch = 32;

// One pass of the receive loop: receive what is waiting, then log, answer or hand on each by mode; or,
// when nothing comes before pending work is due (a status renewal, a summary for the service log), do it.
enum class Listened { kGoOn, kEnded, kFailedForGood };
Listened ListenOnce(SocketHandle s);
// Does the pending work that is due; returns the milliseconds until the next is, or -1 for none.
int DuePendingWork();

// The broadcaster's set-up (socket, address reuse, broadcast); false, logged, on failure.
bool OpenBroadcastSocket(SocketHandle& s);
// Server mode with BroadcastKey: its clients confirm it with a signed poll, to port 123. Opens that port
// (no multicast group) and answers the signed requests of a batch; nothing else is answered there.
bool OpenAnswerSocket(SocketHandle& s);
void AnswerSignedRequests(SocketHandle s, const Datagram* batch, int n);
// A failed receive, counted and logged; true (the failure logged as one) once receives have failed
// kMaxReceiveFailuresInARow times with no datagram between: the worker then ends.
bool ReceiveFailed(int error, const char* worker);
// One broadcast of the local clock to the destination.
void BroadcastOnce(SocketHandle s, const SocketAddress& destination);

void LoadConfiguredDelay();  // the delay of the settings in force, logged
constexpr int64_t kPollIntervalMs = 8000;
constexpr uint32_t kSilenceSeconds = 600;  // a tracked server this quiet may be replaced by any other

// What becomes of a broadcast, decided from what it says and the state alone; HandleBroadcast follows it.
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
    NtpTime now;    // the local time it arrived
    int64_t nowMs;  // MonotonicMs then
};
struct Judged {
    BroadcastVerdict verdict;
    double error;  // seconds, for kAccepted and kStepTooLarge
};
Judged JudgeBroadcast(const BroadcastFacts& facts, const SyncState& sync, const CorrectorState& corrector,
                      const Settings& in);

// mac: what follows the message's 48 bytes, when keys are loaded.
void HandleBroadcast(const SntpMessage& message, uint32_t sender, SocketHandle s, const MacResult& mac = {});
void HandleReply(const SntpMessage& message, uint32_t sender, const MacResult& mac = {});
// key: sign the request with it (null: no MAC). False when no request went out: a delay configured, a
// poll within the last kPollIntervalMs, or a failed send. A confirmation goes out with a delay configured.
bool PollServer(uint32_t server, SocketHandle s, const SymmetricKey* key = nullptr,
                PollPurpose purpose = PollPurpose::kDelay, int stratum = 0);
// Whether a request is our own outstanding signed poll sent back to us: never answered.
bool IsOwnPoll(const uint8_t* request);

// error: seconds, positive when the local clock is behind.
void CorrectClock(double error);

// The bounds of the clock's error after a correction, in microseconds, from what it leaves (seconds) and
// the delay taken (seconds; delayKnown false: none measured yet).
struct ErrorBounds {
    uint32_t maxUs;
    uint32_t estUs;
};
ErrorBounds BoundsAfterCorrection(double remaining, double delay, bool delayKnown);

// What a leap indicator announces on the day of unixSeconds (this clock): a leap second only on the last
// day of June or December.
enum class LeapVerdict { kNone, kInsert, kDelete, kOtherDay };
LeapVerdict JudgeLeap(int leapIndicator, int64_t unixSeconds);
// The error of a broadcast from the followed server, less the leap second this clock has just made when
// the broadcast does not have it yet.
double LeapDiscounted(double error, NtpTime now);
// After a correction from the followed server: the clock armed or disarmed for the leap its broadcast
// announces, and with RtcSync told it is synchronised (unless the server says it is not), within the
// bounds that error leaves.
void TellClock(int leapIndicator, int stratum, double error);
// Once the followed server has been silent for kSilenceSeconds, and when Zelkor stops, the kernel is told
// the clock is synchronised no more: nothing keeps it so. ExpireSynchronised returns when that is due
// (MonotonicMs), or -1.
int64_t ExpireSynchronised();
void TellStopped();
