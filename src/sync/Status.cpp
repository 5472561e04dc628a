#include "sync/Status.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/Log.h"
#include "base/Monotonic.h"
#include "base/TextFile.h"
#include "net/Socket.h"
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
// Installed and removed by the service's thread while a worker (one left running by a stop that could not
// wait for it) may publish.
std::atomic<StatusSink> statusSink{nullptr};

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

void Append(std::string& text, const char* key, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// printf-style on purpose: the compiler checks every format against its arguments.
void Append(std::string& text, const char* key, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    char value[200];
    va_list arguments;
    va_start(arguments, format);
    const int n = std::vsnprintf(value, sizeof value, format, arguments);
    va_end(arguments);
    text.append(key).append("=").append(n < 0 ? "" : value).append("\n");
}

}  // namespace

double UnixSeconds(NtpTime t) {
    double seconds = t.Seconds();
    if (seconds == 0.0) return 0.0;
    // From 2036-02-07 the seconds field starts again at 0: such values lie in the next era.
    if (seconds < 2147483648.0) seconds += 4294967296.0;
    return seconds - kSecondsFrom1900To1970;
}

void InstallStatusSink(StatusSink sink) {
    statusSink.store(sink);
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
    if (const StatusSink sink = statusSink.load())
        sink(StatusSummary(statusRecord, snapshot).c_str(), working);
}

std::string FormatStatus(const StatusRecord& r, const StatusSnapshot& s) {
    std::string failure = r.failure;
    for (char& c : failure)
        if (c == '\n' || c == '\r') c = ' ';
    std::string text;
    text.reserve(1024);
    Append(text, "version", "1");
    Append(text, "pid", "%lu", CurrentProcessId());
    Append(text, "mode", "%s", r.serverMode ? "server" : "client");
    Append(text, "state", "%s", StateName(r.state));
    Append(text, "updated", "%.0f", UnixSeconds(s.now));
    Append(text, "server", "%s", AddressOrNothing(s.server).c_str());
    Append(text, "stratum", "%d", s.stratum);
    Append(text, "server_since", "%.0f", UnixSeconds(r.serverSince));
    Append(text, "last_broadcast", "%.0f", UnixSeconds(r.lastBroadcast));
    Append(text, "last_delta_ms", "%.3f", r.lastDelta * 1000.0);
    Append(text, "last_action", "%s", ActionName(r.lastAction));
    Append(text, "delay_ms", "%.3f", s.delayValid ? s.delaySeconds * 1000.0 : 0.0);
    Append(text, "delay_source", "%s", s.delaySource);
    Append(text, "delay_updated", "%.0f", s.fixedDelay ? 0.0 : UnixSeconds(s.delayUpdated));
    Append(text, "last_poll", "%.0f", UnixSeconds(r.lastPoll));
    Append(text, "awaiting_reply", "%d", s.awaitingReply ? 1 : 0);
    Append(text, "adjustment", "%u", s.adjustment);
    Append(text, "increment", "%u", s.increment);
    Append(text, "best_guess", "%u", s.bestGuess);
    Append(text, "max_error_ms", "%.3f", r.maxErrorUs / 1000.0);
    Append(text, "est_error_ms", "%.3f", r.estErrorUs / 1000.0);
    Append(text, "kernel_sync", "%s", s.kernelSync);
    // A leap the clock is armed for, until its midnight.
    const bool pending =
        s.leap != LeapSecond::kNone && UnixSeconds(s.now) < static_cast<double>(s.leapMidnight);
    const bool inserts = s.leap == LeapSecond::kInsert;
    Append(text, "leap", "%s", !pending ? "none" : inserts ? "insert" : "delete");
    Append(text, "leap_at", "%lld", pending ? static_cast<long long>(s.leapMidnight) : 0LL);
    // Up to 64 subnets: longer than Append holds, and never to be cut.
    text.append("allowed_servers=").append(s.allowedServers).append("\n");
    Append(text, "max_step", "%u", s.maxStepSeconds);
    text.append("auth=").append(s.trusted).append("\n");
    text.append("keys=").append(s.keys).append("\n");
    Append(text, "broadcast_key", "%u", s.broadcastKey);
    for (int mode = 0; mode < 8; ++mode) {
        char key[24];
        (void)std::snprintf(key, sizeof key, "datagrams_mode%d", mode);
        Append(text, key, "%llu", static_cast<unsigned long long>(r.datagrams[mode]));
    }
    const struct {
        const char* key;
        uint64_t value;
    } counters[] = {{"requests_answered", r.requestsAnswered},
                    {"requests_dropped", r.requestsDropped},
                    {"broadcasts_accepted", r.broadcastsAccepted},
                    {"broadcasts_ignored", r.broadcastsIgnored},
                    {"broadcasts_refused", r.broadcastsRefused},
                    {"replies_accepted", r.repliesAccepted},
                    {"replies_refused", r.repliesRefused},
                    {"receive_failures", r.receiveFailures},
                    {"send_failures", r.sendFailures},
                    {"steps", r.steps},
                    {"failed_steps", r.failedSteps},
                    {"slews", r.slews},
                    {"rate_changes_failed", r.rateChangesFailed},
                    {"steps_refused", r.stepsRefused},
                    {"auth_refused", r.authRefused},
                    {"broadcasts_unconfirmed", r.broadcastsUnconfirmed},
                    {"leaps_ignored", r.leapsIgnored},
                    {"leaps_discounted", r.leapsDiscounted},
                    {"broadcasts_sent", r.broadcastsSent}};
    for (const auto& counter : counters)
        Append(text, counter.key, "%llu", static_cast<unsigned long long>(counter.value));
    Append(text, "last_broadcast_sent", "%.0f", UnixSeconds(r.lastBroadcastSent));
    Append(text, "last_refused_sender", "%s", AddressOrNothing(r.lastRefusedSender).c_str());
    Append(text, "last_refused_step", "%.0f", UnixSeconds(r.lastRefusedStep));
    Append(text, "last_refused_step_ms", "%.3f", r.lastRefusedStepError * 1000.0);
    Append(text, "last_refused_step_sender", "%s", AddressOrNothing(r.lastRefusedStepSender).c_str());
    const std::string reason =
        r.authRefused != 0 ? RefusalReason(r.lastAuthRefused.verdict, r.lastAuthRefused.keyId) : "";
    Append(text, "last_auth_refused", "%s", reason.c_str());
    Append(text, "last_auth_refused_sender", "%s", AddressOrNothing(r.lastAuthRefusedSender).c_str());
    Append(text, "failure", "%s", failure.c_str());
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
                        FormatAddress(s.server).text, s.stratum, Duration(r.lastDelta).c_str(),
                        ActionName(r.lastAction), At(r.lastBroadcast).c_str(), delay.c_str());
    std::string summary = text;
    if (r.stepsRefused != 0) {
        (void)std::snprintf(text, sizeof text, "; refused a step of %.3f s from %s %s",
                            r.lastRefusedStepError, FormatAddress(r.lastRefusedStepSender).text,
                            At(r.lastRefusedStep).c_str());
        summary += text;
    }
    return summary;
}
