#include <gtest/gtest.h>

#include "Fakes.h"
#include "base/Platform.h"
#include "time/Calendar.h"
#include "time/SntpMessage.h"
#include "time/SystemClock.h"

namespace {

class SystemClockTest : public ::testing::Test {
  protected:
    void SetUp() override { InstallPlatform({.clock = &clock}); }
    void TearDown() override { ResetPlatform(); }
    FakeClock clock;
};

}  // namespace

TEST(SystemClockDays, LeapYearRules) {
    EXPECT_EQ(SystemClock::DaysInYear(2000), 366);
    EXPECT_EQ(SystemClock::DaysInYear(2100), 365);
    EXPECT_EQ(SystemClock::DaysInYear(2024), 366);
    EXPECT_EQ(SystemClock::DaysInYear(2023), 365);
}

TEST(SystemClockDays, CalendarToSecondsCountsLeapDaysFromMarch) {
    struct Case {
        int year, month, day;
        int64_t seconds;
    } cases[] = {
        {1970, 1, 1, 0},           {2000, 3, 1, 951868800},  // divisible by 400: leap day counted
        {2100, 3, 1, 4107542400},                            // divisible by 100: none
        {2024, 2, 29, 1709164800},                           // month 2: not yet counted
        {2024, 3, 1, 1709251200},  {2023, 11, 14, 1699920000},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SecondsFromCalendar({c.year, c.month, c.day, 0, 0, 0, 0}), c.seconds)
            << c.year << "-" << c.month << "-" << c.day;
}

TEST(SystemClockDays, EveryNewYearsDayCountsTheYearsBefore) {
    // Year by year, as the calendar rules say, independently of the code under test.
    int64_t days = 0;
    for (int year = 1970; year <= 2400; ++year) {
        ASSERT_EQ(SecondsFromCalendar({year, 1, 1, 0, 0, 0, 0}), days * 86400) << year;
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        days += leap ? 366 : 365;
    }
}

TEST_F(SystemClockTest, EpochReadsAsTheNtpEraOffset) {
    clock.unixMs = 0;
    EXPECT_EQ(SystemClock().Now().Seconds(), 2208988800.0);
    clock.unixMs = 999;
    EXPECT_DOUBLE_EQ(SystemClock().Now().Seconds() - 2208988800.0, 0.999000072479248);
}

TEST_F(SystemClockTest, SecondsPartWrapsIn2036) {
    clock.SetUtcCalendar(2036, 2, 7, 6, 28, 15, 0);
    EXPECT_EQ(SystemClock().Now().Seconds(), 4294967295.0);
    clock.SetUtcCalendar(2036, 2, 7, 6, 28, 16, 0);
    EXPECT_EQ(SystemClock().Now().Seconds(), 0.0);
}

// A reading encoded at once keeps its millisecond or loses one, depending on the count and the era.
TEST_F(SystemClockTest, ReadingEncodedAtOnceKeepsOrLosesOneMillisecond) {
    struct Case {
        int year, month, day, hour, minute, second, ms;
        const char* wire;
    } cases[] = {
        {2023, 11, 14, 22, 13, 20, 100, "E8 FE 6F 80 19 58 10 45"},  // 99 ms
        {2023, 11, 14, 22, 13, 20, 500, "E8 FE 6F 80 7F FF FF 6C"},  // 500 ms
        {2023, 11, 14, 22, 13, 20, 999, "E8 FE 6F 80 FF BE 75 A1"},  // 999 ms
        {2036, 2, 7, 6, 28, 17, 100, "00 00 00 01 19 58 10 45"},     // 99 ms
        {2036, 2, 7, 6, 28, 17, 500, "00 00 00 01 7F BE 76 35"},     // 499 ms
        {2036, 2, 7, 6, 28, 17, 999, "00 00 00 01 FF 7C EC 6A"},     // 998 ms
    };
    for (const Case& c : cases) {
        clock.SetUtcCalendar(c.year, c.month, c.day, c.hour, c.minute, c.second, c.ms);
        uint8_t wire[8];
        EncodeTimestamp(SystemClock().Now(), wire);
        EXPECT_EQ(ToHex(wire, 8), c.wire) << c.year << " " << c.ms << " ms";
    }
}

TEST_F(SystemClockTest, SetClockGivesTheClockUnixSecondsAndTheLow16BitsOfTheMilliseconds) {
    ASSERT_TRUE(SystemClock().SetClock(1700000003u, 0x10000 + 250));  // only the low 16 bits count
    ASSERT_EQ(clock.sets.size(), 1u);
    EXPECT_EQ((std::pair(clock.sets[0].seconds, clock.sets[0].milliseconds)),
              (std::pair(int64_t{1700000003}, 250)));
    EXPECT_FALSE(SystemClock().SetClock(1700000003u, 1000));  // beyond the second: no clock takes it
    clock.refuseSet = true;
    EXPECT_FALSE(SystemClock().SetClock(0, 0));
}
