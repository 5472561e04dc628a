#include <gtest/gtest.h>

#include <cstring>

#include "Fakes.h"
#include "base/Platform.h"
#include "time/SntpMessage.h"
#include "time/SystemClock.h"

TEST(Wire, DecodesTheFractionOverTwoToThe32MinusOne) {
    const auto wire = Hex("83 AA 7E 80 FF BE 75 A1");  // 1970-01-01 00:00:00, 999 x 4294967
    EXPECT_DOUBLE_EQ(DecodeTimestamp(wire.data()).Seconds() - 2208988800.0, 0.999000072479248);
    const auto max = Hex("FF FF FF FF FF FF FF FF");
    EXPECT_EQ(DecodeTimestamp(max.data()).Seconds(), 4294967296.0);
}

TEST(Wire, EncodesWholeMillisecondsAndWrapsTheFraction) {
    uint8_t wire[8];
    EncodeTimestamp(NtpTime(2208988800u, 2147483648u), wire);  // .5 exactly
    EXPECT_EQ(ToHex(wire, 8), "83 AA 7E 80 7F FF FF 6C");
    EncodeTimestamp(NtpTime(), wire);
    EXPECT_EQ(ToHex(wire, 8), "00 00 00 00 00 00 00 00");
}

// PreciseTime: the whole fraction, from nanoseconds, and replies that say so in their precision.
TEST(Wire, PreciseTimesKeepTheirMicroseconds) {
    uint8_t wire[8];
    const NtpTime t = NtpFromUnixNs(int64_t{1798000000} * 1000000000 + 123456789);
    EncodeTimestampPrecise(t, wire);
    EXPECT_EQ(ToHex(wire, 8), "EE D5 CC 00 1F 9A E0 00");  // to the double's 2^-21 s
    EXPECT_NEAR(UnixNsFromNtp(DecodeTimestamp(wire)), int64_t{1798000000} * 1000000000 + 123457000, 1);
    SntpMessage reply;
    BuildServerReply(SntpMessage{}, t, t, reply, Resolution::kFull);
    EXPECT_EQ(static_cast<int8_t>(reply.bytes[kOffsetPrecision]), -20);
    EXPECT_EQ(std::memcmp(reply.bytes + kOffsetTransmit, wire, 8), 0);
}

TEST(Messages, ClientRequestAtHalfASecondPast1970) {
    FakeClock clock;
    InstallPlatform({.clock = &clock});
    clock.unixMs = 500;
    const SntpMessage m = BuildClientRequest(SystemClock().Now());
    ResetPlatform();
    EXPECT_EQ(ToHex(m.bytes, 48),
              "1B 0E 01 00 00 00 00 00 00 00 00 00 4C 4F 43 4C 83 AA 7E 80 7F FF FF 6C "
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 83 AA 7E 80 7F FF FF 6C");
}

TEST(Messages, BroadcastCarriesOnlyTheTransmitTime) {
    const SntpMessage m = BuildBroadcast(NtpTime(2208988800u, 2147483648u));
    EXPECT_EQ(ToHex(m.bytes, 48),
              "1D 0F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 83 AA 7E 80 7F FF FF 6C");
}

TEST(Messages, ServerReplyCopiesVersionPollAndOriginate) {
    struct Case {
        uint8_t flags, poll;
        const char* originate;
        const char* head;
    } cases[] = {
        {0x23, 10, "DE AD BE EF 01 02 03 04", "24 0F 0A F8"},  // version 4
        {0x0B, 6, "00 00 00 00 00 00 00 00", "0C 0F 06 F8"},   // version 1, originate zero
        {0xE3, 0, "FF FF FF FF FF FF FF FF", "24 0F 00 F8"},   // leap bits dropped
        {0x3B, 17, "12 34 56 78 9A BC DE F0", "3C 0F 11 F8"},  // version 7 copied as is
    };
    for (const Case& c : cases) {
        SntpMessage request{};
        request.bytes[0] = c.flags;
        request.bytes[2] = c.poll;
        request.bytes[1] = 3;
        std::memset(request.bytes + 4, 0xAA, 20);  // fields a reply must not echo
        const auto originate = Hex(c.originate);
        std::memcpy(request.bytes + 40, originate.data(), 8);
        SntpMessage reply;
        BuildServerReply(request, NtpTime(3908988800u, 1073741824u), NtpTime(3908988800u, 2147483648u),
                         reply);
        EXPECT_EQ(ToHex(reply.bytes, 48),
                  std::string(c.head) + " 00 00 00 00 00 00 00 00 4C 4F 43 4C E8 FE 6F 80 7F FF FF 6C " +
                      c.originate + " E8 FE 6F 80 3F FF FF B6 E8 FE 6F 80 7F FF FF 6C");
    }
}

TEST(Messages, ReadsModeStratumAndTransmitZero) {
    SntpMessage m{};
    m.bytes[0] = 0xFD;
    m.bytes[1] = 200;
    EXPECT_EQ(MessageMode(m), 5);
    EXPECT_EQ(MessageStratum(m), 200);
    EXPECT_TRUE(TimestampIsZero(m, kOffsetTransmit));
    m.bytes[47] = 1;
    EXPECT_FALSE(TimestampIsZero(m, kOffsetTransmit));
}
