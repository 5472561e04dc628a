#include <gtest/gtest.h>

#include <tuple>

#include "Fakes.h"
#include "service/Workers.h"
#include "sync/Corrector.h"
#include "sync/CorrectorState.h"
#include "sync/InForce.h"
#include "sync/LeapAndSync.h"
#include "sync/Sntp.h"
#include "sync/Status.h"
#include "sync/SyncState.h"
#include "sync/Tracking.h"
#include "time/SystemClock.h"

namespace {

constexpr int64_t kMidnight = 1798761600;  // 2027-01-01 00:00:00 UTC

class ClockStateTest : public SyncTest {
  protected:
    // A broadcast with the leap indicator li, errorMs ahead of the fake clock set to atSeconds from
    // kMidnight.
    void Hear(uint32_t from, int stratum, int li, double atSeconds, int64_t errorMs = 0) {
        clock.unixMs = kMidnight * 1000 + static_cast<int64_t>(atSeconds * 1000) + errorMs;
        SntpMessage m = BuildBroadcast(SystemClock().Now());
        clock.unixMs -= errorMs;
        m.bytes[0] = static_cast<uint8_t>(li << 6 | (m.bytes[0] & 0x3F));
        m.bytes[1] = static_cast<uint8_t>(stratum);
        HandleBroadcast(m, from, Now(), 7);
    }
    const uint32_t a = Ip(10, 0, 0, 1), b = Ip(10, 0, 0, 2);
};

}  // namespace

TEST(LeapTest, OnlyTheLastDayOfJuneOrDecemberHasOneAndTheBoundsAddUp) {
    using L = LeapVerdict;  // 2026-12-31 23:59:59, 2027-06-30, 2027-01-01, 2027-03-31
    EXPECT_EQ((std::vector{JudgeLeap(1, 1798761599), JudgeLeap(2, 1814313600), JudgeLeap(1, 1798761600),
                           JudgeLeap(2, 1806494400), JudgeLeap(0, 1798761599), JudgeLeap(3, 1798761599)}),
              (std::vector{L::kInsert, L::kDelete, L::kOtherDay, L::kOtherDay, L::kNone, L::kNone}));
    const ErrorBounds known = BoundsAfterCorrection(-0.25, 0.0005, true);
    const ErrorBounds unknown = BoundsAfterCorrection(0, 0.3, false),
                      huge = BoundsAfterCorrection(20, 0, true);
    EXPECT_EQ((std::vector{known.maxUs, known.estUs, unknown.maxUs, unknown.estUs, huge.maxUs}),
              (std::vector{252500u, 251250u, 1002000u, 501000u, 15999999u}));
}

TEST_F(ClockStateTest, TheClockIsArmedWhileTheFollowedServerAnnouncesALeapOnItsDay) {
    using L = LeapSecond;  // the sender, its stratum, leap indicator and error, the time from midnight
    const std::tuple<uint32_t, int, int, int64_t, double, L> steps[] = {
        {a, 3, 1, 0, -90000, L::kNone},                                  // 30 December: counted and ignored
        {a, 3, 1, 0, -7200, L::kInsert}, {a, 3, 0, 0, -7100, L::kNone},  // ended
        {a, 3, 1, 0, -7000, L::kInsert}, {a, 3, 1, 5000, -6900, L::kNone},  // a step drops it,
        {a, 3, 1, 0, -6800, L::kInsert},  // the next broadcast arms it again
        {b, 2, 2, 0, -6700, L::kInsert},  // not on a new server's word
        {b, 2, 0, 0, -6650, L::kNone},   {b, 2, 2, 0, -6600, L::kDelete},
        {b, 2, 1, 0, -599, L::kDelete},   // a change first heard in the last ten minutes: not followed
        {b, 2, 0, 0, 1.999, L::kDelete},  // held while the kernel makes it
        {b, 2, 0, 0, 2, L::kNone},
    };
    for (const auto& [from, stratum, li, errorMs, at, armed] : steps) {
        Hear(from, stratum, li, at, errorMs);
        EXPECT_EQ(clock.leap, armed) << at;
    }
    EXPECT_EQ(statusRecord.leapsIgnored, 1u);
}

TEST_F(ClockStateTest, TheCorrectionAfterALeapMadeHereLeavesItsSecondAlone) {
    Hear(a, 3, 0, -3700);
    Hear(a, 3, 1, -3600);
    EXPECT_NE(FormatStatus(statusRecord, TakeStatusSnapshot()).find("leap=insert\nleap_at=1798761600\n"),
              std::string::npos);
    // The leap indicator an hour before, then the time from midnight, the error and the delta corrected.
    const std::tuple<int, double, int64_t, double> cases[] = {
        {1, 30, 0, 0.0},         // the server has made it too
        {1, 30, 1003, 0.003},    // not yet
        {1, -0.5, 1002, 0.002},  // in the second repeated
        {1, 30, 1600, 1.6},      // not the leap's
        {1, 1030, 1000, 1.0},    // long after: the server's time
        {2, 30, -998, 0.002},    // deleted
        {0, 30, 1000, 1.0},      // none made here
    };
    for (const auto& [li, at, errorMs, delta] : cases) {
        syncState = SyncState{};
        Hear(a, 3, 0, -3700);  // followed first: a leap is not armed on a new server's word
        Hear(a, 3, li, -3600);
        Hear(a, 3, 0, at, errorMs);
        EXPECT_NEAR(correctorState.lastError, delta, 0.002) << errorMs;  // whole milliseconds on the wire
    }
}

TEST_F(ClockStateTest, WithRtcSyncTheKernelIsToldAtEachCorrectionUntilTheServerFallsSilent) {
    settings.fixedDelay = true;
    settings.offsetMs = 1;
    LoadConfiguredDelay();
    Hear(a, 3, 0, -3600, 250);
    EXPECT_EQ((std::pair{clock.maxErrorUs, statusRecord.maxErrorUs}),
              (std::pair{0u, 254000u}));  // RtcSync off
    settings.rtcSync = true;
    ListenToServiceLog();
    clock.answer = ClockTold::kFailed;
    Hear(a, 3, 0, -3500, 250);
    Hear(a, 3, 0, -3400, 250);
    EXPECT_EQ(TakeEvents(),
              (std::vector<std::string>{"<3>Failed to tell the kernel the clock is synchronised"}));
    clock.answer = ClockTold::kDone;
    Hear(a, 3, 0, -3300, 5000);  // a step leaves no error
    std::vector<uint32_t> told{clock.maxErrorUs};
    for (const int64_t ms : {599999, 1}) {
        Advance(ms);
        (void)DuePendingWork();
        told.push_back(clock.maxErrorUs);
    }
    Hear(a, 3, 0, -2000, 250);
    told.push_back(clock.maxErrorUs);
    ReleaseClock();  // a stop leaves the kernel's state to grow its own bound: no flapping at a restart
    told.push_back(clock.maxErrorUs);
    EXPECT_EQ(clock.adjustment, clock.increment);  // the slew's rate taken back
    Hear(a, 3, 3, -1900, 250);                     // servers not synchronised themselves
    Hear(b, 16, 0, -1800, 250);
    told.push_back(clock.maxErrorUs);
    EXPECT_EQ(told, (std::vector<uint32_t>{3000, 3000, 0, 254000, 254000, 254000}));
}
