#pragma once

#include <cstdint>

#include "sync/CorrectorState.h"
#include "time/NtpTime.h"

// Leap seconds and the kernel's synchronised state: what the clock's keeper is told after each
// correction from the followed server.

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
// The error of a broadcast from the followed server that arrived at now, less the leap second this clock
// has just made when the broadcast does not have it yet.
double LeapDiscounted(double error, NtpTime now);
// After a correction from the followed server (action, the clock then reading now; newServer: it was not
// followed before this broadcast): the clock armed or disarmed for the leap its broadcast announces, and
// with RtcSync told it is synchronised (unless the server says it is not), within the bounds that error
// leaves. A leap is not armed on a new server's word, nor first heard in the last kLeapLateSeconds.
void TellClock(int leapIndicator, int stratum, double error, CorrectionAction action, NtpTime now,
               bool newServer);
// A real announcement comes hours ahead (NTP servers announce a leap for the whole of its last day at
// least); one first heard in the last ten minutes before midnight is more likely a forger's.
constexpr int64_t kLeapLateSeconds = 600;
// Once the followed server has been silent for kSilenceSeconds, the kernel is told the clock is
// synchronised no more: nothing keeps it so. Returns when that is due (MonotonicMs), or -1.
int64_t ExpireSynchronised();
