// Leap seconds and the kernel's synchronised state: what the clock's keeper (Linux's kernel, the virtual
// clock) is told after each correction from the followed server: a leap second the server announces, and
// with RtcSync that the clock is synchronised and within what error.
//
// The bounds, in microseconds as adjtimex takes them (maxerror and esterror):
//     maxerror = r + d + 2 ms,   esterror = r + (d + 2 ms) / 2
// r: the error the correction leaves, |error| s: a step leaves none, a slew all of it (it takes the next
//    seconds to remove it).
// d: the one-way delay added to the broadcast's time, measured or configured: the true delay lies between
//    0 and the round trip, 2 d, so the one taken is out by at most d. None measured yet: 1 s, the most a
//    reply is believed to give.
// 2 ms: the broadcast's transmit time and this clock's reading each carry whole milliseconds.
// The estimate takes half of what is only bounded. Both stay below 16 s, where the kernel calls the clock
// unsynchronised; it adds 500 us a second to maxerror itself.

#include <algorithm>
#include <cmath>

#include "sync/LeapAndSync.h"

#include "base/Log.h"
#include "base/Monotonic.h"
#include "sync/InForce.h"
#include "sync/Precise.h"
#include "sync/Status.h"
#include "sync/SyncState.h"
#include "time/Calendar.h"
#include "time/SntpMessage.h"

namespace {

constexpr int kUnsynchronisedStratum = 16;
constexpr double kResolutionSeconds = 0.002;
constexpr double kUnknownDelaySeconds = 1.0;
constexpr double kMaxBoundSeconds = 15.999999;
constexpr int64_t kSecondsPerDay = 86400;
// The kernel makes a leap at its first tick after midnight: disarmed in the seconds around it, it would not.
constexpr int64_t kLeapHoldSeconds = 2;
// A server may make the leap only when its own source tells it, at its next poll (1024 s at NTP's default
// longest); until then its broadcasts lack the second this clock has made.
constexpr int64_t kLeapSettleSeconds = 1024;
// An error nearer the leap than no error at all is the leap.
constexpr double kLeapToleranceSeconds = 0.5;

int64_t WholeSeconds(NtpTime t) {
    return TruncateToInt64(std::floor(UnixSeconds(t)));
}

// Rounded to the nearest microsecond: the bounds are never negative (and lround would pull libm, a third
// of a MiB resident, into a daemon that needs nothing else of it).
uint32_t Microseconds(double seconds) {
    // NOLINTNEXTLINE(bugprone-incorrect-roundings)
    return static_cast<uint32_t>(std::min(seconds, kMaxBoundSeconds) * 1e6 + 0.5);
}

LeapSecond Announced(LeapVerdict verdict) {
    if (verdict == LeapVerdict::kInsert) return LeapSecond::kInsert;
    if (verdict == LeapVerdict::kDelete) return LeapSecond::kDelete;
    return LeapSecond::kNone;
}

void FollowLeap(LeapVerdict verdict, int64_t now, bool stepped, bool newServer) {
    SyncState& sync = syncState;
    if (verdict == LeapVerdict::kOtherDay) {
        ++statusRecord.leapsIgnored;
        LOG_LINE("A leap second announced on a day other than 30 June or 31 December is ignored");
    }
    if (stepped) {
        // The step dropped the leap, and the kernel takes it again only a tick later: the next broadcast.
        sync.leapTold = false;
        if (now < sync.leapMidnight) sync.leapNear = LeapSecond::kNone;
        return;
    }
    LeapSecond wanted = Announced(verdict);
    if (sync.leapTold && wanted == sync.leapAnnounced) return;
    // Not on the word of a server followed only from this broadcast on, nor first heard this late (a step
    // drops a leap announced before it, which the next broadcast arms again): the clock stays as it is.
    const int64_t midnight = (now / kSecondsPerDay + 1) * kSecondsPerDay;
    const bool late = midnight - now <= kLeapLateSeconds && wanted != sync.leapAnnounced;
    if (wanted != LeapSecond::kNone && (newServer || late)) return;
    if (wanted == LeapSecond::kNone && sync.leapNear != LeapSecond::kNone &&
        std::llabs(now - sync.leapMidnight) < kLeapHoldSeconds)
        return;
    const ClockTold told = CurrentClock().ArmLeap(wanted);
    sync.leapAnnounced = wanted;
    sync.leapTold = true;
    if (told == ClockTold::kFailed) LogEvent(Priority::kError, "Failed to arm the clock for the leap second");
    if (told != ClockTold::kDone) return;
    if (wanted != LeapSecond::kNone) {
        sync.leapNear = wanted;
        sync.leapMidnight = (now / kSecondsPerDay + 1) * kSecondsPerDay;
        LogEvent(Priority::kNotice, "A leap second is announced: the clock %s a second at midnight UTC",
                 wanted == LeapSecond::kInsert ? "inserts" : "deletes");
    } else if (sync.leapNear != LeapSecond::kNone && now < sync.leapMidnight) {
        sync.leapNear = LeapSecond::kNone;
        LogEvent(Priority::kNotice, "The leap second is announced no more: the clock makes none");
    }
}

void TellSynchronised(double remaining) {
    const ErrorBounds bounds =
        BoundsAfterCorrection(remaining, syncState.delay.Seconds(), syncState.delayValid != 0);
    statusRecord.maxErrorUs = bounds.maxUs;
    statusRecord.estErrorUs = bounds.estUs;
    if (!settings.rtcSync) return;
    const ClockTold told = CurrentClock().TellSynchronised(bounds.maxUs, bounds.estUs);
    const KernelSync before = syncState.kernelSync;
    syncState.kernelToldMs = MonotonicMs();
    if (told == ClockTold::kDone) {
        syncState.kernelSync = KernelSync::kSynchronised;
        if (before != KernelSync::kSynchronised)
            LogEvent(Priority::kInfo, "The kernel is told the clock is synchronised, within %.3f ms",
                     bounds.maxUs / 1000.0);
    } else if (told == ClockTold::kFailed) {
        syncState.kernelSync = KernelSync::kFailed;
        if (before != KernelSync::kFailed)
            LogEvent(Priority::kError, "Failed to tell the kernel the clock is synchronised");
    } else {
        syncState.kernelSync = KernelSync::kNotKept;
    }
}

void TellUnsynchronised(const char* why) {
    if (CurrentClock().TellUnsynchronised() == ClockTold::kFailed) {
        syncState.kernelSync = KernelSync::kFailed;
        LogEvent(Priority::kError, "Failed to tell the kernel the clock is no longer synchronised");
        return;
    }
    syncState.kernelSync = KernelSync::kUnsynchronised;
    LogEvent(Priority::kNotice, "The kernel is told the clock is no longer synchronised: %s", why);
}

}  // namespace

ErrorBounds BoundsAfterCorrection(double remaining, double delay, bool delayKnown) {
    // PreciseTime: nanosecond times, and the fit's spread in place of the milliseconds.
    const double resolution = PreciseResolution() >= 0 ? PreciseResolution() : kResolutionSeconds;
    const double uncertain = (delayKnown ? std::fabs(delay) : kUnknownDelaySeconds) + resolution;
    const double left = std::fabs(remaining);
    return {Microseconds(left + uncertain), Microseconds(left + uncertain / 2)};
}

LeapVerdict JudgeLeap(int leapIndicator, int64_t unixSeconds) {
    if (leapIndicator != 1 && leapIndicator != 2) return LeapVerdict::kNone;
    CalendarTime day{};
    const bool lastDay = BreakDownUtc(unixSeconds, day) &&
                         ((day.month == 6 && day.day == 30) || (day.month == 12 && day.day == 31));
    if (!lastDay) return LeapVerdict::kOtherDay;
    return leapIndicator == 1 ? LeapVerdict::kInsert : LeapVerdict::kDelete;
}

double LeapDiscounted(double error, NtpTime now) {
    const SyncState& sync = syncState;
    const int64_t second = WholeSeconds(now);
    // From the second before midnight: an inserted one repeats it, a deleted one is it.
    if (sync.leapNear == LeapSecond::kNone || second < sync.leapMidnight - 1 ||
        second >= sync.leapMidnight + kLeapSettleSeconds)
        return error;
    const double leap = sync.leapNear == LeapSecond::kInsert ? 1.0 : -1.0;
    if (std::fabs(error - leap) >= kLeapToleranceSeconds) return error;
    ++statusRecord.leapsDiscounted;
    LOG_LINE("The leap second is not corrected again: a delta of %.3f seconds is taken as %.3f", error,
             error - leap);
    return error - leap;
}

void TellClock(int leapIndicator, int stratum, double error, CorrectionAction action, NtpTime now,
               bool newServer) {
    const int64_t second = WholeSeconds(now);
    const bool stepped = action == CorrectionAction::kStep;
    FollowLeap(JudgeLeap(leapIndicator, second), second, stepped, newServer);
    // A server that says it is not synchronised itself (leap indicator 3, stratum 16) makes no clock so.
    const bool serverSynchronised = leapIndicator != kLeapNotSynchronised && stratum < kUnsynchronisedStratum;
    if (serverSynchronised && (stepped || action == CorrectionAction::kSlew))
        TellSynchronised(stepped ? 0.0 : error);
}

int64_t ExpireSynchronised() {
    if (syncState.kernelSync != KernelSync::kSynchronised) return -1;
    const int64_t due = syncState.kernelToldMs + int64_t{kSilenceSeconds} * 1000;
    if (MonotonicMs() < due) return due;
    TellUnsynchronised("the server has been silent for 600 s");
    PublishStatus();
    return -1;
}
