#include "base/Log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "base/Monotonic.h"
#include "base/Platform.h"

int ConsoleMode = 0;

namespace {

constexpr int64_t kSummaryIntervalMs = 60000;
constexpr size_t kLineBytes = 512;

// What each kind's summary says around the count ("Refused 12 more replies in the last minute"), and how
// many of a burst are told one by one.
struct BurstKind {
    const char* verb;
    const char* what;
    uint64_t toldAtOnce;
};
constexpr BurstKind kKinds[kRefusalKinds] = {
    {"Refused", "time broadcasts from senders not in Servers", 1},
    {"Refused", "messages without a valid MAC under a trusted key", 1},
    {"Refused", "corrections beyond MaxStep", 1},
    {"Refused", "replies", 1},
    {"Refused", "requests (too short, sent to a broadcast or multicast address, or unsendable)", 1},
    {"Held", "time broadcasts for a signed poll's confirmation", 1},
    {"Stepped the clock", "times", 3},
    {"Measured the delay", "times", 1},
    {"Left", "requests unanswered beyond RateLimit", 1},
};

LogSink sink = nullptr;

struct Burst {
    bool open = false;        // a line was written within the last minute
    int64_t sinceMs = 0;      // when the first was
    uint64_t told = 0;        // told one by one since
    uint64_t suppressed = 0;  // since, not written
};

// The worker and the service's thread write.
struct ServiceLog {
    std::atomic<bool> events{false};
    Burst bursts[kRefusalKinds];
};

ServiceLog serviceLog;

int Format(char (&line)[kLineBytes], const char* format, va_list arguments) {
    int n = std::vsnprintf(line, sizeof line - 1, format, arguments);
    if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
    return n;
}

void WriteConsole(char (&line)[kLineBytes], int n) {
    if (sink != nullptr) {
        sink(line);
        return;
    }
    // One write per line, flushed, so lines from two threads never interleave and pipes see them at once.
    line[n] = '\n';
    // A console that cannot take the line loses it; there is nowhere else to report that.
    (void)std::fwrite(line, 1, static_cast<size_t>(n) + 1, stdout);
    (void)std::fflush(stdout);
    line[n] = '\0';
}

void WriteService(Priority priority, EventKind kind, const char* line) {
    if (const auto write = CurrentPlatform().serviceLog) write(priority, kind, line);
}

// The one line of a call, to the console and the service log as each is wanted.
void Write(bool console, bool service, Priority priority, EventKind kind, const char* format,
           va_list arguments) {
    if (!console && !service) return;
    char line[kLineBytes];
    const int n = Format(line, format, arguments);
    if (n < 0) return;
    if (console) WriteConsole(line, n);
    if (service) WriteService(priority, kind, line);
}

}  // namespace

void SetLogSink(LogSink newSink) {
    sink = newSink;
}

void SetServiceLogEvents(bool events) {
    serviceLog.events.store(events);
}

bool ServiceLogListens() {
    return serviceLog.events.load() && CurrentPlatform().serviceLog != nullptr;
}

// printf-style on purpose: the compiler checks every format against its arguments.
void LogMessage(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    Write(ConsoleMode != 0, false, Priority::kInfo, EventKind::kOther, format, arguments);
    va_end(arguments);
}

void LogEvent(Priority priority, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    Write(ConsoleMode != 0, ServiceLogListens(), priority, EventKind::kOther, format, arguments);
    va_end(arguments);
}

void LogEvent(EventKind kind, Priority priority, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    Write(ConsoleMode != 0, ServiceLogListens(), priority, kind, format, arguments);
    va_end(arguments);
}

void ServiceEvent(Priority priority, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    Write(false, ServiceLogListens(), priority, EventKind::kOther, format, arguments);
    va_end(arguments);
}

void ServiceEvent(EventKind kind, Priority priority, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    Write(false, ServiceLogListens(), priority, kind, format, arguments);
    va_end(arguments);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, checked
void LogBurst(Refusal kind, EventKind event, Priority priority, const char* format, ...) {
    const bool service = TellRefusal(kind);
    va_list arguments;
    va_start(arguments, format);
    Write(ConsoleMode != 0, service, priority, event, format, arguments);
    va_end(arguments);
}

void LogFailure(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    Write(ConsoleMode != 0, CurrentPlatform().serviceLog != nullptr, Priority::kError, EventKind::kFailure,
          format, arguments);
    va_end(arguments);
}

void LogFailureNoting(const char* line, const std::string& note) {
    if (ConsoleMode != 0) LogMessage("%s", line);
    if (CurrentPlatform().serviceLog == nullptr) return;
    if (note.empty()) {
        WriteService(Priority::kError, EventKind::kFailure, line);
        return;
    }
    char noted[kLineBytes];
    (void)std::snprintf(noted, sizeof noted, "%s [%s]", line, note.c_str());
    WriteService(Priority::kError, EventKind::kFailure, noted);
}

namespace {

// Writes the summary of a burst whose minute is up, which opens the next minute's burst, told by summary
// only; a burst with nothing suppressed is over.
void Summarise(int kind, int64_t now) {
    Burst& burst = serviceLog.bursts[kind];
    if (burst.suppressed == 0) {
        burst.open = false;
        return;
    }
    char line[kLineBytes];
    (void)std::snprintf(line, sizeof line, "%s %llu more %s in the last minute", kKinds[kind].verb,
                        static_cast<unsigned long long>(burst.suppressed), kKinds[kind].what);
    WriteService(Priority::kWarning, EventKind::kRefusalSummary, line);
    burst = Burst{true, now, kKinds[kind].toldAtOnce, 0};
}

}  // namespace

bool TellRefusal(Refusal kind) {
    if (!ServiceLogListens()) return false;
    const int k = static_cast<int>(kind);
    Burst& burst = serviceLog.bursts[k];
    const int64_t now = MonotonicMs();
    // A minute up that no pending work summarised yet (a flood keeps the worker busy): summarised now, so
    // that no count is lost.
    if (burst.open && now - burst.sinceMs >= kSummaryIntervalMs) Summarise(k, now);
    if (!burst.open) burst = Burst{true, now, 0, 0};
    if (burst.told < kKinds[k].toldAtOnce) {
        ++burst.told;
        return true;
    }
    ++burst.suppressed;
    return false;
}

int64_t FlushRefusalSummaries() {
    int64_t next = -1;
    if (!ServiceLogListens()) return next;
    const int64_t now = MonotonicMs();
    for (int kind = 0; kind < kRefusalKinds; ++kind) {
        const Burst& burst = serviceLog.bursts[kind];
        if (!burst.open) continue;
        const int64_t due = burst.sinceMs + kSummaryIntervalMs;
        if (now >= due) {
            Summarise(kind, now);
        } else if (burst.suppressed != 0 && (next < 0 || due < next)) {
            next = due;
        }
    }
    return next;
}

void ResetServiceLog() {
    serviceLog.events.store(false);
    for (Burst& burst : serviceLog.bursts) burst = Burst{};
}
