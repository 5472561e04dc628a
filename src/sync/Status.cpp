#include "sync/Status.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/Log.h"
#include "base/Monotonic.h"
#include "base/Platform.h"
#include "base/TextFile.h"
#include "net/Socket.h"
#include "sync/StatusKeys.h"
#include "time/Calendar.h"
#include "time/SntpMessage.h"

StatusRecord statusRecord;

namespace {

// An attacker can send ignored broadcasts by the thousand: those renew the file at most this often.
constexpr int64_t kSparingIntervalMs = 1000;

struct Publisher {
    Publisher() noexcept = default;
    bool started = false;
    std::string path;  // empty: no file
    bool fileUsable = false;
    bool failureLogged = false;
    bool pending = false;  // a sparing renewal was held back
    bool renewed = false;  // lastMs holds a renewal's time
    int64_t lastMs = 0;    // MonotonicMs of the last renewal
};

Publisher publisher;

const char* StateName(WorkerState state) {
    switch (state) {
        case WorkerState::kStarting:
            return "starting";
        case WorkerState::kWaiting:
            return "waiting";
        case WorkerState::kFollowing:
            return "following";
        case WorkerState::kBroadcasting:
            return "broadcasting";
        case WorkerState::kFailed:
            return "failed";
    }
    return "";
}

const char* ActionName(CorrectionAction action) {
    switch (action) {
        case CorrectionAction::kNone:
            return "";
        case CorrectionAction::kStep:
            return "step";
        case CorrectionAction::kSlew:
            return "slew";
        case CorrectionAction::kFailedStep:
            return "failed-step";
    }
    return "";
}

std::string AddressOrNothing(uint32_t address) {
    return address != 0 ? FormatAddress(address).text : "";
}

// A duration for people: milliseconds below a second, seconds above.
std::string Duration(double seconds) {
    char text[48];
    if (seconds > -1.0 && seconds < 1.0)
        (void)std::snprintf(text, sizeof text, "%.2f ms", seconds * 1000.0);
    else
        (void)std::snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

// "at 19:04:12 UTC": the status line stays as it is until the next event, so an age would soon be wrong.
std::string At(NtpTime t) {
    CalendarTime c{};
    if (!BreakDownUtc(TruncateToInt64(UnixSeconds(t)), c)) return "at an unknown time";
    char text[32];
    (void)std::snprintf(text, sizeof text, "at %02d:%02d:%02d UTC", c.hour, c.minute, c.second);
    return text;
}

void Append(std::string& text, StatusKey key, const char* format, ...) __attribute__((format(printf, 3, 4)));
// printf-style on purpose: the compiler checks every format against its arguments.
void Append(std::string& text, StatusKey key, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    char value[200];
    va_list arguments;
    va_start(arguments, format);
    const int n = std::vsnprintf(value, sizeof value, format, arguments);
    va_end(arguments);
    text.append(StatusKeyOf(key).name).append("=").append(n < 0 ? "" : value).append("\n");
}

// A value as it is, however long: up to 64 subnets, never to be cut.
void AppendText(std::string& text, StatusKey key, const std::string& value) {
    text.append(StatusKeyOf(key).name).append("=").append(value).append("\n");
}

}  // namespace

std::string AuthRefusalReason(const AuthRefused& refused) {
    switch (refused.why) {
        case AuthRefusal::kMac:
            break;
        case AuthRefusal::kReplayed:
            return "a replay of an earlier broadcast";
        case AuthRefusal::kDisagrees:
            return "a reply whose time is not its broadcast's";
    }
    return RefusalReason(refused.verdict, refused.keyId);
}

bool NoteRefusal(Refusal kind, uint64_t& count, uint32_t* lastSender, uint32_t sender) {
    ++count;
    if (lastSender != nullptr) *lastSender = sender;
    const bool tell = TellRefusal(kind);
    PublishStatus(count != 1);
    return tell;
}

void ResetStatus() {
    statusRecord = StatusRecord{};
    publisher = Publisher{};
}

void StartStatus(int serverMode) {
    statusRecord = StatusRecord{};
    statusRecord.serverMode = serverMode;
    publisher.started = true;
    publisher.path = StatusFilePath();
    std::string problem;
    publisher.fileUsable = !publisher.path.empty() && PrepareStatusFolder(publisher.path, problem);
    // The clock matters more than the report: without the file Zelkor goes on, and says so once.
    if (!publisher.path.empty() && !publisher.fileUsable)
        LogMessage("Status file \"%s\" cannot be written: %s; Zelkor goes on without it",
                   publisher.path.c_str(), problem.c_str());
    publisher.failureLogged = !publisher.fileUsable;
    PublishStatus();
}

void StatusFailed(const char* format, ...) {  // NOLINT(cert-dcl50-cpp): printf-style, checked
    va_list arguments;
    va_start(arguments, format);
    (void)std::vsnprintf(statusRecord.failure, sizeof statusRecord.failure, format, arguments);
    va_end(arguments);
    LogFailure("%s", statusRecord.failure);
    statusRecord.state = WorkerState::kFailed;
    PublishStatus();
}

void StatusNetFailed(int error, const char* format, ...) {  // NOLINT(cert-dcl50-cpp): printf-style, checked
    va_list arguments;
    va_start(arguments, format);
    (void)std::vsnprintf(statusRecord.failure, sizeof statusRecord.failure, format, arguments);
    va_end(arguments);
    const std::string text = Net().Describe(error);
    LogFailureNoting(statusRecord.failure, text.empty() ? text : std::to_string(error) + ": " + text);
    statusRecord.state = WorkerState::kFailed;
    PublishStatus();
}

void StatusFailedWith(const char* text) {
    (void)std::snprintf(statusRecord.failure, sizeof statusRecord.failure, "%s", text);
    statusRecord.state = WorkerState::kFailed;
    PublishStatus();
}

int64_t PublishPendingStatus() {
    if (!publisher.pending) return -1;
    const int64_t due = publisher.lastMs + kSparingIntervalMs;
    if (MonotonicMs() < due) return due;
    PublishStatus();
    return -1;
}

void FlushPendingStatus() {
    if (publisher.pending) PublishStatus();
}

void PublishStatus(bool sparingly) {
    if (!publisher.started) return;
    const int64_t now = MonotonicMs();
    if (sparingly && publisher.renewed && now - publisher.lastMs < kSparingIntervalMs) {
        publisher.pending = true;
        return;
    }
    publisher.pending = false;
    publisher.renewed = true;
    publisher.lastMs = now;
    const StatusSnapshot snapshot = TakeStatusSnapshot();
    if (publisher.fileUsable &&
        !WriteFileAtomically(publisher.path.c_str(), FormatStatus(statusRecord, snapshot), true, false) &&
        !publisher.failureLogged) {
        LogMessage("Status file \"%s\" cannot be written; Zelkor goes on without it", publisher.path.c_str());
        publisher.failureLogged = true;
    }
    const bool working =
        statusRecord.state != WorkerState::kStarting && statusRecord.state != WorkerState::kFailed;
    if (const auto line = CurrentPlatform().statusLine)
        line(StatusSummary(statusRecord, snapshot).c_str(), working);
}

std::string FormatStatus(const StatusRecord& r, const StatusSnapshot& s) {
    using K = StatusKey;
    const CorrectorState& c = s.corrector;
    std::string failure = r.failure;
    for (char& ch : failure)
        if (ch == '\n' || ch == '\r') ch = ' ';
    std::string text;
    text.reserve(1024);
    Append(text, K::kVersion, "1");
    Append(text, K::kPid, "%lu", CurrentProcessId());
    Append(text, K::kMode, "%s", r.serverMode ? "server" : "client");
    Append(text, K::kState, "%s", StateName(r.state));
    Append(text, K::kUpdated, "%.0f", UnixSeconds(s.now));
    Append(text, K::kServer, "%s", AddressOrNothing(s.server).c_str());
    Append(text, K::kStratum, "%d", s.stratum);
    Append(text, K::kServerSince, "%.0f", UnixSeconds(r.serverSince));
    Append(text, K::kLastBroadcast, "%.0f", UnixSeconds(r.lastBroadcast));
    // PreciseTime's to the nanosecond.
    Append(text, K::kLastDeltaMs, s.precise ? "%.6f" : "%.3f", c.lastError * 1000.0);
    Append(text, K::kLastAction, "%s", ActionName(c.lastAction));
    Append(text, K::kDelayMs, s.precise ? "%.6f" : "%.3f", s.delayValid ? s.delaySeconds * 1000.0 : 0.0);
    Append(text, K::kDelaySource, "%s", s.delaySource);
    Append(text, K::kDelayUpdated, "%.0f", s.fixedDelay ? 0.0 : UnixSeconds(s.delayUpdated));
    Append(text, K::kLastPoll, "%.0f", UnixSeconds(r.lastPoll));
    Append(text, K::kAwaitingReply, "%d", s.awaitingReply ? 1 : 0);
    Append(text, K::kAdjustment, "%u", s.adjustment);
    Append(text, K::kIncrement, "%u", s.increment);
    Append(text, K::kBestGuess, "%u", c.bestGuess);
    Append(text, K::kMaxErrorMs, "%.3f", r.maxErrorUs / 1000.0);
    Append(text, K::kEstErrorMs, "%.3f", r.estErrorUs / 1000.0);
    Append(text, K::kKernelSync, "%s", s.kernelSync);
    // A leap the clock is armed for, until its midnight.
    const bool pending =
        s.leap != LeapSecond::kNone && UnixSeconds(s.now) < static_cast<double>(s.leapMidnight);
    const bool inserts = s.leap == LeapSecond::kInsert;
    Append(text, K::kLeap, "%s", !pending ? "none" : inserts ? "insert" : "delete");
    Append(text, K::kLeapAt, "%lld", pending ? static_cast<long long>(s.leapMidnight) : 0LL);
    AppendText(text, K::kAllowedServers, s.allowedServers);
    Append(text, K::kMaxStep, "%u", s.maxStepSeconds);
    AppendText(text, K::kAuth, s.trusted);
    AppendText(text, K::kKeys, s.keys);
    Append(text, K::kBroadcastKey, "%u", s.broadcastKey);
    for (int mode = 0; mode < 8; ++mode)
        Append(text, static_cast<K>(static_cast<int>(K::kDatagramsMode0) + mode), "%llu",
               static_cast<unsigned long long>(r.datagrams[mode]));
    const struct {
        K key;
        uint64_t value;
    } counters[] = {{K::kRequestsAnswered, r.requestsAnswered},
                    {K::kRequestsDropped, r.requestsDropped},
                    {K::kRequestsLimited, r.requestsLimited},
                    {K::kBroadcastsAccepted, r.broadcastsAccepted},
                    {K::kBroadcastsIgnored, r.broadcastsIgnored},
                    {K::kBroadcastsRefused, r.broadcastsRefused},
                    {K::kRepliesAccepted, r.repliesAccepted},
                    {K::kRepliesRefused, r.repliesRefused},
                    {K::kReceiveFailures, r.receiveFailures},
                    {K::kSendFailures, r.sendFailures},
                    {K::kSteps, c.steps},
                    {K::kFailedSteps, c.failedSteps},
                    {K::kSlews, c.slews},
                    {K::kRateChangesFailed, c.rateChangesFailed},
                    {K::kRatesHeld, c.ratesHeld},
                    {K::kStepsRefused, r.stepsRefused},
                    {K::kAuthRefused, r.authRefused},
                    {K::kBroadcastsUnconfirmed, r.broadcastsUnconfirmed},
                    {K::kLeapsIgnored, r.leapsIgnored},
                    {K::kLeapsDiscounted, r.leapsDiscounted},
                    {K::kBroadcastsSent, r.broadcastsSent}};
    for (const auto& counter : counters)
        Append(text, counter.key, "%llu", static_cast<unsigned long long>(counter.value));
    Append(text, K::kLastBroadcastSent, "%.0f", UnixSeconds(r.lastBroadcastSent));
    Append(text, K::kLastRefusedSender, "%s", AddressOrNothing(r.lastRefusedSender).c_str());
    Append(text, K::kLastRefusedStep, "%.0f", UnixSeconds(r.lastRefusedStep));
    Append(text, K::kLastRefusedStepMs, "%.3f", r.lastRefusedStepError * 1000.0);
    Append(text, K::kLastRefusedStepSender, "%s", AddressOrNothing(r.lastRefusedStepSender).c_str());
    const std::string reason = r.authRefused != 0 ? AuthRefusalReason(r.lastAuthRefused) : "";
    Append(text, K::kLastAuthRefused, "%s", reason.c_str());
    Append(text, K::kLastAuthRefusedSender, "%s", AddressOrNothing(r.lastAuthRefusedSender).c_str());
    if (s.precise) {
        Append(text, K::kDiscipline, "precise");
        Append(text, K::kReceiveStamps, "%s", ReceiveStampsName(r.receiveStamps));
        if (!r.serverMode) {
            Append(text, K::kFrequencyPpm, "%.4f", s.frequencyPpm);
            Append(text, K::kFitSpreadUs, "%.3f", s.fitSpreadUs);
            Append(text, K::kFitSamples, "%d", s.fitSamples);
        }
    }
    Append(text, K::kFailure, "%s", failure.c_str());
    return text;
}

std::string StatusSummary(const StatusRecord& r, const StatusSnapshot& s) {
    char text[256];
    if (r.state == WorkerState::kFailed) return r.failure;
    if (r.serverMode) {
        if (r.broadcastsSent == 0) return "Sending time broadcasts";
        (void)std::snprintf(text, sizeof text, "Sending time broadcasts; %llu sent, the last %s",
                            static_cast<unsigned long long>(r.broadcastsSent),
                            At(r.lastBroadcastSent).c_str());
        return text;
    }
    if (s.server == 0) return "Waiting for time broadcasts";
    const std::string delay = s.delayValid ? Duration(s.delaySeconds) + " " + s.delaySource : "not known yet";
    (void)std::snprintf(text, sizeof text, "Following %s (stratum %d); last correction %s (%s) %s; delay %s",
                        FormatAddress(s.server).text, s.stratum, Duration(s.corrector.lastError).c_str(),
                        ActionName(s.corrector.lastAction), At(r.lastBroadcast).c_str(), delay.c_str());
    std::string summary = text;
    if (r.stepsRefused != 0) {
        (void)std::snprintf(text, sizeof text, "; refused a step of %.3f s from %s %s",
                            r.lastRefusedStepError, FormatAddress(r.lastRefusedStepSender).text,
                            At(r.lastRefusedStep).c_str());
        summary += text;
    }
    return summary;
}
