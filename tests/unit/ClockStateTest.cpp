#include <gtest/gtest.h>

#include "Fakes.h"
#include "sync/Sntp.h"
#include "sync/Status.h"
#include "time/SystemClock.h"

namespace {

constexpr int64_t kMidnight = 1798761600;  // 2027-01-01 00:00:00 UTC

class ClockStateTest : public SyncTest {
  protected:
    void SetUp() override {
        SyncTest::SetUp();
        clock.unixMs = (kMidnight - 4 * 3600) * 1000;
    }
    // A broadcast errorMs ahead of the fake clock, with the leap indicator li.
    void Hear(uint32_t from, int stratum, int li, int64_t errorMs = 0) {
        clock.unixMs += errorMs;
        SntpMessage m = BuildBroadcast(SystemClock().Now());
        clock.unixMs -= errorMs;
        m.bytes[0] = static_cast<uint8_t>((li << 6) | (m.bytes[0] & 0x3F));
        m.bytes[1] = static_cast<uint8_t>(stratum);
        HandleBroadcast(m, from, 7);
    }
    const uint32_t a = Ip(10, 0, 0, 1), b = Ip(10, 0, 0, 2);
};

}  // namespace

TEST(LeapTest, OnlyTheLastDayOfJuneOrDecemberHasOne) {
    const struct {
        int li;
        int64_t unixSeconds;
        LeapVerdict verdict;
    } cases[] = {
        {1, 1798761599, LeapVerdict::kInsert},    // 2026-12-31 23:59:59
        {2, 1814313600, LeapVerdict::kDelete},    // 2027-06-30 00:00:00
        {1, 1798761600, LeapVerdict::kOtherDay},  // 2027-01-01 00:00:00
        {1, 1798675199, LeapVerdict::kOtherDay},  // 2026-12-30 23:59:59
        {2, 1806494400, LeapVerdict::kOtherDay},  // 2027-03-31
        {0, 1798761599, LeapVerdict::kNone},
        {3, 1798761599, LeapVerdict::kNone},  // not synchronised: no announcement
    };
    for (const auto& c : cases) EXPECT_EQ(JudgeLeap(c.li, c.unixSeconds), c.verdict) << c.unixSeconds;
}

TEST(LeapTest, TheBoundsAreWhatIsLeftTheDelayAndTwoMilliseconds) {
    const struct {
        double remaining, delay;
        bool known;
        uint32_t maxUs, estUs;
    } cases[] = {
        {0, 0.001, true, 3000, 1500},
        {-0.25, 0.0005, true, 252500, 251250},
        {0, 0.3, false, 1002000, 501000},  // no delay measured yet: up to 1 s
        {20, 0, true, 15999999, 15999999},
    };
    for (const auto& c : cases) {
        const ErrorBounds bounds = BoundsAfterCorrection(c.remaining, c.delay, c.known);
        EXPECT_EQ((std::pair{bounds.maxUs, bounds.estUs}), (std::pair{c.maxUs, c.estUs})) << c.remaining;
    }
}

TEST_F(ClockStateTest, TheClockIsArmedWhileTheFollowedServerAnnouncesALeap) {
    const struct {
        uint32_t from;
        int stratum, li;
        int64_t errorMs;
        LeapSecond armed;
    } steps[] = {
        {a, 3, 1, 0, LeapSecond::kInsert}, {a, 3, 0, 0, LeapSecond::kNone},     // the announcement ends
        {a, 3, 1, 0, LeapSecond::kInsert}, {a, 3, 1, 5000, LeapSecond::kNone},  // a step drops it,
        {a, 3, 1, 0, LeapSecond::kInsert},  // the next broadcast arms it again
        {b, 2, 0, 0, LeapSecond::kNone},    // a new server that announces none
        {b, 2, 2, 0, LeapSecond::kDelete},
    };
    for (const auto& s : steps) {
        Advance(60000);
        Hear(s.from, s.stratum, s.li, s.errorMs);
        EXPECT_EQ(clock.leap, s.armed) << &s - steps;
    }
    EXPECT_NE(FormatStatus(statusRecord, SystemClock().Now()).find("leap=delete\nleap_at=1798761600\n"),
              std::string::npos);
}

TEST_F(ClockStateTest, AnotherDaysAnnouncementIsCountedAndTheArmHeldThroughMidnight) {
    clock.unixMs -= 86400 * 1000;
    Hear(a, 3, 1);
    EXPECT_EQ((std::pair{clock.leap, statusRecord.leapsIgnored}),
              (std::pair{LeapSecond::kNone, uint64_t{1}}));
    const struct {
        int64_t atMs;  // by the clock, from midnight
        int li;
        LeapSecond armed;
    } steps[] = {
        {-1000, 1, LeapSecond::kInsert}, {1999, 0, LeapSecond::kInsert}, {2000, 0, LeapSecond::kNone}};
    for (const auto& s : steps) {
        clock.unixMs = kMidnight * 1000 + s.atMs;
        Hear(a, 3, s.li);
        EXPECT_EQ(clock.leap, s.armed) << s.atMs;
    }
}

TEST_F(ClockStateTest, TheCorrectionAfterTheLeapLeavesItsSecondAlone) {
    const struct {
        int li;
        int64_t atMs, errorMs;  // by the clock, from midnight
        double delta;
    } cases[] = {
        {1, 30000, 0, 0.0},       // the server has made it too
        {1, 30000, 1003, 0.003},  // not yet
        {1, -500, 1002, 0.002},   // the second repeated
        {1, 30000, 1600, 1.6},    // no leap's
        {1, 1030000, 1000, 1.0},  // long after: the server's time
        {2, 30000, -998, 0.002},  // deleted
        {0, 30000, 1000, 1.0},    // none made here
    };
    for (const auto& c : cases) {
        syncState = SyncState{};
        correctorState = CorrectorState{};
        clock.unixMs = (kMidnight - 3600) * 1000;
        Hear(a, 3, c.li);
        clock.unixMs = kMidnight * 1000 + c.atMs;
        Hear(a, 3, 0, c.errorMs);
        EXPECT_NEAR(statusRecord.lastDelta, c.delta, 0.002) << c.errorMs;  // whole milliseconds on the wire
    }
}

TEST_F(ClockStateTest, WithRtcSyncTheKernelIsToldAtEachCorrectionUntilTheServerFallsSilent) {
    settings.fixedDelay = true;
    settings.offsetMs = 1;
    LoadConfiguredDelay();
    Hear(a, 3, 0, 250);
    EXPECT_EQ((std::pair{clock.maxErrorUs, statusRecord.maxErrorUs}),
              (std::pair{0u, 254000u}));  // RtcSync off
    settings.rtcSync = true;
    ListenToServiceLog();
    clock.answer = ClockTold::kFailed;
    Hear(a, 3, 0, 250);
    Hear(a, 3, 0, 250);
    clock.answer = ClockTold::kDone;
    Hear(a, 3, 0, 250);
    EXPECT_EQ(clock.maxErrorUs, 254000u);
    Hear(a, 3, 0, 5000);  // a step leaves no error
    EXPECT_EQ(clock.maxErrorUs, 3000u);
    Advance(599999);
    (void)DuePendingWork();
    EXPECT_EQ(clock.maxErrorUs, 3000u);
    Advance(1);
    (void)DuePendingWork();
    EXPECT_EQ(clock.maxErrorUs, 0u);
    Hear(a, 3, 0, 0);
    TellStopped();
    EXPECT_EQ(clock.maxErrorUs, 0u);
    std::vector<std::string> told;
    for (const std::string& e : TakeEvents())
        if (e.find("kernel") != std::string::npos) told.push_back(e);
    EXPECT_EQ(told,
              (std::vector<std::string>{
                  "<3>Failed to tell the kernel the clock is synchronised",
                  "<6>The kernel is told the clock is synchronised, within 254.000 ms",
                  "<5>The kernel is told the clock is no longer synchronised: the server has been silent "
                  "for 600 s",
                  "<6>The kernel is told the clock is synchronised, within 4.000 ms",
                  "<5>The kernel is told the clock is no longer synchronised: Zelkor stops"}));
}
