#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "time/NtpTime.h"

TEST(NtpTime, FractionIsReadOverTwoToThe32MinusOne) {
    EXPECT_EQ(NtpTime().Seconds(), 0.0);
    EXPECT_EQ(NtpTime(1, 4294967295u).Seconds(), 2.0);
    EXPECT_EQ(NtpTime(7, 0).Seconds(), 7.0);
}

TEST(NtpTime, ArithmeticGivesSignedSeconds) {
    const NtpTime a(100, 0), b(103, 0);
    EXPECT_EQ((a - b).Seconds(), -3.0);
    EXPECT_EQ((a + b).Seconds(), 203.0);
    EXPECT_EQ((NtpTime(250) / 1000).Seconds(), 0.25);
}

TEST(NtpTime, TruncationSaturatesInsteadOfOverflowing) {
    EXPECT_EQ(TruncateToInt64(-1.9), -1);
    EXPECT_EQ(TruncateToInt64(1e300), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(TruncateToInt64(-1e300), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(TruncateToInt64(std::nan("")), 0);
    EXPECT_EQ(TruncateToInt32(3e9), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(TruncateToInt32(-28.9999), -28);
}

TEST(NtpTime, AgeOfAClockSteppedBackIsHuge) {
    struct Case {
        double now, then;
        uint32_t age;
    } cases[] = {
        {1000.0, 400.0, 600},
        {1000.0, 1001.0, 4294967295u},  // -1 s
        {1000.0, 1000.5, 0},            // -0.5 s truncates to 0
        {1000.0, 0.0, 1000},
    };
    for (const Case& c : cases) {
        NtpTime now(static_cast<uint32_t>(c.now)), then(static_cast<uint32_t>(c.then));
        if (c.then != std::floor(c.then)) then = NtpTime(static_cast<uint32_t>(c.then), 2147483648u);
        EXPECT_EQ(AgeSeconds(now, then), c.age) << c.now << " - " << c.then;
    }
}
