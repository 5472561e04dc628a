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

// What each kind's summary says was refused.
constexpr const char* kRefused[kRefusalKinds] = {
    "time broadcasts from senders not in Servers", "messages without a valid MAC under a trusted key",
    "corrections beyond MaxStep", "replies",
    "requests (too short, or sent to a broadcast or multicast address)"};

LogSink sink = nullptr;

struct Burst {
    bool open = false;        // a line was written within the last minute
    int64_t sinceMs = 0;      // when
    uint64_t suppressed = 0;  // refusals since, not written
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

void WriteService(Priority priority, const char* line) {
    if (const auto write = CurrentPlatform().serviceLog) write(priority, line);
}

// The one line of a call, to the console and the service log as each is wanted.
void Write(bool console, bool service, Priority priority, const char* format, va_list arguments) {
    if (!console && !service) return;
    char line[kLineBytes];
    const int n = Format(line, format, arguments);
    if (n < 0) return;
    if (console) WriteConsole(line, n);
    if (service) WriteService(priority, line);
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
    Write(ConsoleMode != 0, false, Priority::kInfo, format, arguments);
    va_end(arguments);
}

void LogEvent(Priority priority, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    Write(ConsoleMode != 0, ServiceLogListens(), priority, format, arguments);
    va_end(arguments);
}

void ServiceEvent(Priority priority, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    Write(false, ServiceLogListens(), priority, format, arguments);
    va_end(arguments);
}

void LogFailure(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    Write(ConsoleMode != 0, CurrentPlatform().serviceLog != nullptr, Priority::kError, format, arguments);
    va_end(arguments);
}

bool TellRefusal(Refusal kind) {
    if (!ServiceLogListens()) return false;
    Burst& burst = serviceLog.bursts[static_cast<int>(kind)];
    const int64_t now = MonotonicMs();
    if (burst.open && now - burst.sinceMs < kSummaryIntervalMs) {
        ++burst.suppressed;
        return false;
    }
    burst = Burst{true, now, 0};
    return true;
}

int64_t FlushRefusalSummaries() {
    int64_t next = -1;
    if (!ServiceLogListens()) return next;
    const int64_t now = MonotonicMs();
    for (int kind = 0; kind < kRefusalKinds; ++kind) {
        Burst& burst = serviceLog.bursts[kind];
        if (!burst.open) continue;
        const int64_t due = burst.sinceMs + kSummaryIntervalMs;
        if (now < due) {
            if (burst.suppressed != 0 && (next < 0 || due < next)) next = due;
            continue;
        }
        if (burst.suppressed == 0) {
            burst.open = false;  // the burst is over: the next refusal is told at once
            continue;
        }
        char line[kLineBytes];
        (void)std::snprintf(line, sizeof line, "Refused %llu more %s in the last minute",
                            static_cast<unsigned long long>(burst.suppressed), kRefused[kind]);
        WriteService(Priority::kWarning, line);
        burst = Burst{true, now, 0};
    }
    return next;
}

void ResetServiceLog() {
    serviceLog.events.store(false);
    for (Burst& burst : serviceLog.bursts) burst = Burst{};
}
