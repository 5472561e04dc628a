#pragma once

#include <cstdint>
#include <string>

// Two logs. The console log: one line per event, to standard output, only after the "debug" command.
// The service log (the journal, the Windows Event Log): the significant events only, never one line per
// datagram, and only where the platform record names one (the service's run); failures always, the other
// events with ServiceLog.

// 1 after the "debug" command: only then is anything written to the console.
extern int ConsoleMode;

// One line to standard output, flushed at once; nothing unless ConsoleMode is set.
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same, its arguments evaluated only in the console: on the datagram path a flood formats nothing (a
// dotted address, a number) for nobody.
#define LOG_LINE(...)                             \
    do {                                          \
        if (ConsoleMode) LogMessage(__VA_ARGS__); \
    } while (0)

// Tests capture the console lines instead of printing them.
using LogSink = void (*)(const char* line);
void SetLogSink(LogSink sink);  // null prints again

// syslog's numbers, which the journal takes as they are.
enum class Priority { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

// What an event is, where the service log tells events apart (the Event Log by its event ID, so that they
// can be filtered and forwarded); kOther for the rest, told apart by priority alone.
enum class EventKind {
    kOther,
    kStart,
    kStop,
    kStep,
    kRefusedStep,
    kServerFollowed,
    kServerSilent,
    kServerBack,
    kRefusalSummary,
    kFailure
};

// events: the significant events go to the service log too, not only failures.
void SetServiceLogEvents(bool events);
// Whether an event would reach the service log now.
bool ServiceLogListens();

// A significant event: its console line (as LogMessage) and its line in the service log.
void LogEvent(Priority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogEvent(EventKind kind, Priority priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// A significant event without a console line: the service log only.
void ServiceEvent(Priority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ServiceEvent(EventKind kind, Priority priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The failure that ends the worker or refuses the start: its console line, and the service log whatever
// ServiceLog says.
void LogFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same for a line already made, whose service log line ends with a note in brackets (the text of an
// error number the line gives), when there is one.
void LogFailureNoting(const char* line, const std::string& note);

// Refusals come in bursts whenever someone floods the LAN, and so can corrections that anyone can cause
// (steps, delay measurements, broadcasts held for confirmation): the service log takes the first of a
// burst at once (the first few steps) and then at most one summary a minute with the count. True when
// this one is to be told now (as ServiceEvent or LogEvent): its line is formatted only then.
enum class Refusal {
    kServers,
    kAuthentication,
    kStep,
    kReply,
    kRequest,
    kUnconfirmed,
    kStepMade,
    kDelay,
    kRateLimited
};
constexpr int kRefusalKinds = 9;
bool TellRefusal(Refusal kind);
// A significant event anyone on the network can cause: its console line always, and its line in the
// service log when TellRefusal says so.
void LogBurst(Refusal kind, EventKind event, Priority priority, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Writes the summaries that are due; returns when the next one is (MonotonicMs), or -1 for none.
int64_t FlushRefusalSummaries();
// Back to failures only and no burst (tests, and each start).
void ResetServiceLog();
