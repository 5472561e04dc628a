#include <gtest/gtest.h>

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

namespace {

using Lines = std::vector<std::string>;

class CorrectorTest : public SyncTest {
  protected:
    void SetUp() override {
        SyncTest::SetUp();
        clock.adjustment = 1000007;
        clock.increment = 1000000;
        clock.unixMs = 1700000000000;
    }
};

}  // namespace

TEST_F(CorrectorTest, WorkedSequenceLearnsAndReusesTheBestGuess) {
    struct Call {
        double error;
        uint32_t adjustment, bestGuess;
        int armed, prevPositive;
        double prevError;
        Lines log;
    } calls[] = {
        {0.50, 1000057, 0, 1, 1, 0.50, {"Delta is 0.500 seconds", "Slew clock"}},
        {0.30,
         1000087,
         1000057,
         0,
         1,
         0.30,
         {"Best guess of frequency is 1000057", "Delta is 0.300 seconds", "Slew clock"}},
        {-0.10, 1000057, 1000057, 1, 0, -0.10, {"Delta is -0.100 seconds", "Slew clock"}},
        {-0.05,
         1000052,
         1000057,
         0,
         0,
         -0.05,
         {"Best guess of frequency is 1000057", "Delta is -0.050 seconds", "Slew clock"}},
        {5.00,
         1000000,
         1000057,
         1,
         0,
         -0.05,
         {"Delta is 5.000 seconds", "The time has been corrected by 5.000 seconds"}},
    };
    int n = 1;
    for (const Call& c : calls) {
        CorrectClock(c.error);
        EXPECT_EQ(clock.adjustment, c.adjustment) << "call " << n;
        EXPECT_EQ(correctorState.bestGuess, c.bestGuess) << "call " << n;
        EXPECT_EQ(correctorState.armed, c.armed) << "call " << n;
        EXPECT_EQ(correctorState.prevPositive, c.prevPositive) << "call " << n;
        EXPECT_EQ(correctorState.prevError, c.prevError) << "call " << n;
        EXPECT_EQ(TakeLog(), c.log) << "call " << n;
        ++n;
    }
    EXPECT_EQ(clock.sets.size(), 1u);
}

TEST_F(CorrectorTest, SlewAmountIsTruncatedHundredthsWithAMinimumOfOne) {
    struct Case {
        double error;
        int64_t change;
    } cases[] = {{2.0, 200}, {0.29, 28}, {0.004, 1}, {0.01, 1}, {1.999, 199}, {0.5, 50}};
    for (const Case& c : cases) {
        correctorState = CorrectorState{};  // same sign as the initial positive state
        clock.adjustment = 1000000;
        CorrectClock(c.error);
        EXPECT_EQ(static_cast<int64_t>(clock.adjustment) - 1000000, c.change) << c.error;
        EXPECT_TRUE(clock.sets.empty()) << c.error;
    }
}

TEST_F(CorrectorTest, AboveTwoSecondsSteps) {
    CorrectClock(2.0001);
    EXPECT_EQ(clock.sets.size(), 1u);
    CorrectClock(-2.5);
    EXPECT_EQ(clock.sets.size(), 2u);
    CorrectClock(2.0);
    EXPECT_EQ(clock.sets.size(), 2u);
}

TEST_F(CorrectorTest, StepSetsTheClockToStartPlusError) {
    clock.SetUtcCalendar(2023, 11, 14, 22, 13, 20, 0);
    CorrectClock(3.25);
    ASSERT_EQ(clock.sets.size(), 1u);
    CalendarTime t{};
    ASSERT_TRUE(BreakDownUtc(clock.sets[0].seconds, t));
    EXPECT_EQ(
        (std::vector<int>{t.year, t.month, t.day, t.hour, t.minute, t.second, clock.sets[0].milliseconds}),
        (std::vector<int>{2023, 11, 14, 22, 13, 23, 250}));
    EXPECT_EQ(clock.adjustment, 1000000u);
}

TEST_F(CorrectorTest, RefusedStepStillResetsTheAdjustmentAndArms) {
    clock.refuseSet = true;
    correctorState.armed = 0;
    CorrectClock(-10.0);
    EXPECT_EQ(TakeLog(), (Lines{"Delta is -10.000 seconds", "Failed to set the time"}));
    EXPECT_EQ(clock.adjustment, 1000000u);
    EXPECT_EQ(correctorState.armed, 1);
}

TEST_F(CorrectorTest, ZeroCountsAsNotPositive) {
    CorrectClock(-0.5);  // first negative: a change of sign, back to the increment
    EXPECT_EQ(clock.adjustment, 1000000u);
    CorrectClock(0.0);  // same (non-positive) sign: down by the minimum
    EXPECT_EQ(clock.adjustment, 999999u);
    CorrectClock(0.3);
    CorrectClock(0.0);  // after a positive slew, zero is a change of sign
    EXPECT_EQ(correctorState.prevPositive, 0);
    EXPECT_EQ(correctorState.armed, 1);
}

TEST_F(CorrectorTest, FirstNegativeErrorGoesBackToTheIncrement) {
    CorrectClock(-0.4);
    EXPECT_EQ(clock.adjustment, 1000000u);
    EXPECT_EQ(correctorState.armed, 1);
}

TEST_F(CorrectorTest, SingularOnlyForExactlyOneSecond) {
    struct Case {
        double error;
        const char* line;
    } cases[] = {{1.0, "Delta is 1.000 second"},
                 {-1.0, "Delta is -1.000 second"},
                 {1.5, "Delta is 1.500 seconds"},
                 {0.999, "Delta is 0.999 seconds"},
                 {1.0004, "Delta is 1.000 seconds"}};
    for (const Case& c : cases) {
        correctorState = CorrectorState{};
        CorrectClock(c.error);
        EXPECT_EQ(TakeLog().at(0), c.line);
    }
}

TEST_F(CorrectorTest, AfterAStepTheNextSlewComparesWithTheLastSlew) {
    CorrectClock(0.5);
    CorrectClock(10.0);
    TakeLog();
    CorrectClock(0.4);  // armed by the step; 0.4 <= 0.5 converges
    EXPECT_EQ(TakeLog().at(0), "Best guess of frequency is 1000000");
    EXPECT_EQ(correctorState.bestGuess, 1000000u);
}

TEST_F(CorrectorTest, UnreadableAdjustmentChangesNothingButTheState) {
    clock.failAdjustmentRead = true;
    CorrectClock(0.3);
    CorrectClock(0.2);
    CorrectClock(-0.2);
    EXPECT_TRUE(clock.adjustmentsSet.empty());
    EXPECT_EQ(correctorState.bestGuess, 0u);
    EXPECT_EQ(correctorState.armed, 1);
    EXPECT_EQ(correctorState.prevPositive, 0);
}

TEST_F(CorrectorTest, ARefusedRateIsCountedAndLoggedOncePerRun) {
    ListenToServiceLog();
    clock.refuseAdjustment = true;
    for (const double error : {0.5, 0.4, 0.3}) CorrectClock(error);
    EXPECT_EQ(TakeLog()[2], "Failed to set the clock's rate to 1000057");  // each time in the console
    EXPECT_EQ(TakeEvents(), (Lines{"<3>Failed to set the clock's rate to 1000057"}));
    EXPECT_EQ(correctorState.rateChangesFailed, 3u);
    clock.refuseAdjustment = false;
    CorrectClock(0.2);
    clock.refuseAdjustment = true;
    CorrectClock(0.1);
    EXPECT_EQ(TakeEvents(),
              (Lines{"<3>Failed to set the clock's rate to 1000037"}));  // a new run of refusals
}

// Linux's increment: one unit is 10 ppm, and the kernel's 500 ppm bound is 50 units either way. Errors of
// one sign, each slewed further, hold there; a refused correction puts the rate back.
TEST_F(CorrectorTest, TheRateIsHeldWithin500PpmOfNominalCountedAndSaidOnce) {
    ListenToServiceLog();
    clock.adjustment = clock.increment = 100000;
    for (const double error : {-1.9, -1.9, -1.9, -0.3}) CorrectClock(error);
    EXPECT_EQ(clock.adjustmentsSet, (std::vector<uint32_t>{100000, 99950, 99950, 99950}));
    EXPECT_EQ(
        TakeEvents(),
        (Lines{"<5>The clock's rate is held at 99950, within 500 ppm of its nominal 100000, not 99810"}));
    EXPECT_EQ(correctorState.ratesHeld, 3u);
    correctorState.bestGuess = 99990;
    ResetRate();
    EXPECT_EQ(clock.adjustment, 99990u);
}
