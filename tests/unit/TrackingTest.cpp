#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <tuple>

#include "Fakes.h"
#include "config/Settings.h"
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

using Lines = std::vector<std::string>;

constexpr int64_t kStartMs = 1700000000000;  // 2023-11-14 22:13:20 UTC

class TrackingTest : public SyncTest {
  protected:
    void SetUp() override {
        SyncTest::SetUp();
        clock.unixMs = kStartMs;
    }

    // A broadcast whose transmit time is the fake clock's reading plus errorMs.
    SntpMessage Broadcast(int stratum, int64_t errorMs) {
        const int64_t saved = clock.unixMs;
        clock.unixMs += errorMs;
        SntpMessage m = BuildBroadcast(SystemClock().Now());
        clock.unixMs = saved;
        m.bytes[1] = static_cast<uint8_t>(stratum);
        return m;
    }

    void Hear(uint32_t from, int stratum, int64_t errorMs = 0) {
        HandleBroadcast(Broadcast(stratum, errorMs), from, Now(), 7);
    }

    size_t Polls() const {
        size_t n = 0;
        for (const Packet& d : net.sent) n += d.bytes[0] == 0x1B;
        return n;
    }

    // The server's reply to the last request sent, with receive and transmit times in ms past kStartMs.
    SntpMessage ReplyToLastPoll(int64_t receiveMs, int64_t transmitMs) {
        return ReplyTo(net.sent.back().bytes, 2, kStartMs + receiveMs, kStartMs + transmitMs);
    }

    const uint32_t a = Ip(10, 0, 0, 1), b = Ip(10, 0, 0, 2), c = Ip(10, 0, 0, 3);
};

}  // namespace

TEST_F(TrackingTest, FirstBroadcastIsAcceptedCorrectedWithoutDelayAndPolled) {
    Hear(c, 3, 250);
    EXPECT_EQ(TakeLog(), (Lines{"Delta is 0.250 seconds", "Slew clock", "Poll NTP server",
                                "NTP Time broadcast received from 10.0.0.3"}));
    ASSERT_EQ(net.sent.size(), 1u);
    EXPECT_EQ(net.sent[0].peer.address, c);
    EXPECT_EQ(net.sent[0].peer.port, HostToNet16(123));
    EXPECT_EQ(net.sent[0].bytes[0], 0x1B);
    EXPECT_EQ(syncState.lastServer, c);
    EXPECT_EQ(syncState.lastStratum, 3);
    EXPECT_EQ(syncState.delayValid, 0);
}

TEST_F(TrackingTest, StratumOutsideOneToSixteenIsOnlyLogged) {
    for (int stratum : {0, 17, 255}) Hear(a, stratum, 5000);
    EXPECT_EQ(TakeLog(),
              (Lines{"NTP Time broadcast received from 10.0.0.1", "NTP Time broadcast received from 10.0.0.1",
                     "NTP Time broadcast received from 10.0.0.1"}));
    EXPECT_TRUE(net.sent.empty());
    EXPECT_EQ(syncState.lastServer, 0u);
    Hear(a, 16);
    EXPECT_EQ(syncState.lastServer, a);
}

TEST_F(TrackingTest, ZeroTransmitTimeIsOnlyLogged) {
    SntpMessage m = Broadcast(2, 0);
    std::memset(m.bytes + 40, 0, 8);
    HandleBroadcast(m, a, Now(), 7);
    EXPECT_EQ(TakeLog(), (Lines{"NTP Time broadcast received from 10.0.0.1"}));
    EXPECT_TRUE(clock.sets.empty());
    EXPECT_EQ(syncState.lastServer, 0u);
}

TEST_F(TrackingTest, AnotherServerNeedsALowerStratumOrTheTrackedOnesSilence) {
    struct Case {
        int64_t afterMs;
        int stratum;
        bool accepted;
    } cases[] = {
        {1000, 2, false},    // equal stratum, 1 s later
        {1000, 3, false},    // worse
        {600000, 2, false},  // silent exactly 600 s
        {600999, 2, false},  // 600.999 s truncates to 600
        {601000, 3, true},   // silent over 600 s: even a worse stratum
        {1000, 1, true},     // better stratum: at once
        {-1000, 2, true},    // clock stepped back: the age is huge
        {-500, 2, false},    // -0.5 s truncates to 0
    };
    for (const Case& k : cases) {
        syncState = SyncState{};
        clock.unixMs = kStartMs;
        Hear(a, 2);
        const size_t polls = Polls();
        Advance(kMinPollIntervalMs);
        clock.unixMs = kStartMs + k.afterMs;
        Hear(b, k.stratum);
        EXPECT_EQ(syncState.lastServer, k.accepted ? b : a) << k.afterMs << " ms, stratum " << k.stratum;
        EXPECT_EQ(Polls(), polls + (k.accepted ? 1 : 0)) << k.afterMs << " ms, stratum " << k.stratum;
    }
}

TEST_F(TrackingTest, SameServerIsPolledAgainOnlyWithoutAFreshReply) {
    Hear(a, 2);
    ASSERT_EQ(Polls(), 1u);
    Advance(7999);
    Hear(a, 2);  // no reply yet, but polls leave at most once every 8 s, whatever arrives
    ASSERT_EQ(Polls(), 1u);
    Advance(1);
    clock.unixMs = kStartMs;
    Hear(a, 2);  // no reply yet: the delay is unknown, so ask again
    ASSERT_EQ(Polls(), 2u);
    HandleReply(ReplyToLastPoll(1, 2), a, Now());
    ASSERT_EQ(syncState.delayValid, 1);
    Advance(3600 * 1000);
    Hear(a, 2);
    EXPECT_EQ(Polls(), 2u);  // reply 3600 s old: still fresh
    Advance(1000);
    Hear(a, 2);
    EXPECT_EQ(Polls(), 3u);
    EXPECT_EQ(syncState.delayValid, 0);  // until the new reply arrives
}

TEST_F(TrackingTest, ReplyGivesHalfTheRoundTripLessTheServersHoldingTime) {
    Hear(a, 2);
    // T1 = start, T2 = start + 50 ms, T3 = start + 60 ms, T4 = start + 120 ms.
    clock.unixMs = kStartMs + 120;
    HandleReply(ReplyToLastPoll(50, 60), a, Now());
    EXPECT_EQ(TakeLog().back(), "Offset is 0.055 seconds");
    EXPECT_NEAR(syncState.delay.Seconds(), 0.055, 0.000002);
    EXPECT_EQ(syncState.delayValid, 1);
    // The delay is added to later corrections.
    clock.unixMs = kStartMs + 1000;
    Hear(a, 2, 500);
    EXPECT_EQ(TakeLog().front(), "Delta is 0.555 seconds");
}

TEST_F(TrackingTest, OnlyTheAnswerToOurOwnRequestIsTaken) {
    Hear(a, 2);
    const SntpMessage genuine = ReplyToLastPoll(50, 60);
    SntpMessage forged = genuine;
    forged.bytes[31] ^= 1;
    HandleReply(genuine, b, Now());  // right content, wrong sender
    HandleReply(forged, a, Now());   // right sender, wrong originate
    SntpMessage unsolicitedZero{};
    unsolicitedZero.bytes[0] = 0x1C;
    HandleReply(unsolicitedZero, a, Now());
    EXPECT_EQ(syncState.delayValid, 0);
    EXPECT_TRUE(AwaitingReply(syncState));
    EXPECT_EQ(statusRecord.repliesRefused, 3u);
    clock.unixMs = kStartMs + 120;
    HandleReply(genuine, a, Now());
    EXPECT_EQ(syncState.delayValid, 1);
    const double delay = syncState.delay.Seconds();
    clock.unixMs = kStartMs + 5000;
    HandleReply(genuine, a, Now());  // a repeat counts no more
    EXPECT_EQ(syncState.delay.Seconds(), delay);
}

TEST_F(TrackingTest, ImplausibleRepliesAreRefusedAndTheRequestStaysOpen) {
    struct Case {
        const char* what;
        int64_t receiveMs, transmitMs, arrivalMs;  // T2, T3 and T4, ms after the poll
        void (*spoil)(SntpMessage&);
        const char* offset;  // the line an accepted reply logs; null: refused
    } cases[] = {
        {"stratum 0", 50, 60, 120, [](SntpMessage& m) { m.bytes[1] = 0; }, nullptr},
        {"stratum 16", 50, 60, 120, [](SntpMessage& m) { m.bytes[1] = 16; }, nullptr},
        {"stratum 15", 50, 60, 120, [](SntpMessage& m) { m.bytes[1] = 15; }, "Offset is 0.055 seconds"},
        {"leap 3", 50, 60, 120, [](SntpMessage& m) { m.bytes[0] |= 0xC0; }, nullptr},
        {"receive zero", 50, 60, 120, [](SntpMessage& m) { std::memset(m.bytes + 32, 0, 8); }, nullptr},
        {"transmit zero", 50, 60, 120, [](SntpMessage& m) { std::memset(m.bytes + 40, 0, 8); }, nullptr},
        {"transmit 2000 s before receive", 2000000, 0, 120, nullptr, nullptr},
        {"negative delay", 0, 100, 50, nullptr, nullptr},
        {"within rounding below zero", 0, 1, 0, nullptr, "Offset is 0.000 seconds"},
        {"delay 1 s", 0, 0, 2000, nullptr, "Offset is 1.000 seconds"},
        {"delay over 1 s", 0, 0, 2002, nullptr, nullptr},
        {"8 s late", 0, 7500, 8000, nullptr, "Offset is 0.250 seconds"},
        {"over 8 s late", 0, 7500, 8001, nullptr, nullptr},
    };
    for (const Case& k : cases) {
        syncState = SyncState{};
        clock.unixMs = kStartMs;
        Hear(a, 2);
        SntpMessage reply = ReplyToLastPoll(k.receiveMs, k.transmitMs);
        if (k.spoil != nullptr) k.spoil(reply);
        TakeLog();
        clock.unixMs = kStartMs + k.arrivalMs;
        HandleReply(reply, a, Now());
        EXPECT_EQ(TakeLog(), k.offset ? Lines{k.offset} : Lines{}) << k.what;
        EXPECT_EQ(syncState.delayValid, k.offset ? 1 : 0) << k.what;
        EXPECT_EQ(AwaitingReply(syncState), k.offset == nullptr) << k.what;
    }
    // A refused reply leaves the request open for the genuine one.
    clock.unixMs = kStartMs + 100;
    HandleReply(ReplyToLastPoll(50, 60), a, Now());
    EXPECT_EQ(TakeLog(), (Lines{"Offset is 0.045 seconds"}));
}

TEST_F(TrackingTest, FailedPollLeavesTheDelayUnknown) {
    net.failSend = 101;
    Hear(a, 2);
    EXPECT_EQ(TakeLog(), (Lines{"Delta is 0.000 seconds", "Slew clock", "NTP sendto failed",
                                "Poll NTP server", "NTP Time broadcast received from 10.0.0.1"}));
    EXPECT_EQ(syncState.delayValid, 0);
    EXPECT_FALSE(AwaitingReply(syncState));
}

TEST_F(TrackingTest, ServersLetOnlyTheirOwnBroadcastsThrough) {
    struct Case {
        const char* servers;  // null: no setting
        uint32_t from;
        bool accepted;
    } cases[] = {
        {nullptr, c, true},
        {"10.0.0.1 10.0.1.0/24", a, true},
        {"10.0.0.1 10.0.1.0/24", Ip(10, 0, 1, 77), true},
        {"10.0.0.1 10.0.1.0/24", c, false},
        {"10.0.0.0/30", c, true},
        {"10.0.0.0/31", c, false},
        {"0.0.0.0/0", c, true},
        {"", a, false},  // present but empty (the start is refused): still closed
    };
    for (const Case& k : cases) {
        syncState = SyncState{};
        correctorState = CorrectorState{};
        statusRecord = StatusRecord{};
        settings = Settings{};
        net.sent.clear();
        clock.sets.clear();
        if (k.servers != nullptr) {
            std::vector<std::string> unusable;
            settings.serversConfigured = true;
            ParseServerList(k.servers, settings.servers, unusable);
        }
        Hear(k.from, 1, 5000);
        const std::string done =
            std::string("NTP Time broadcast received from ") + FormatAddress(k.from).text;
        const Lines log = TakeLog();
        EXPECT_EQ(log.back(), done);
        EXPECT_EQ(statusRecord.broadcastsAccepted, k.accepted ? 1u : 0u) << (k.servers ? k.servers : "none");
        EXPECT_EQ(syncState.lastServer, k.accepted ? k.from : 0u);
        EXPECT_EQ(clock.sets.size(), k.accepted ? 1u : 0u);
        EXPECT_EQ(Polls(), k.accepted ? 1u : 0u);
        EXPECT_EQ(statusRecord.broadcastsRefused, k.accepted ? 0u : 1u);
        EXPECT_EQ(statusRecord.lastRefusedSender, k.accepted ? 0u : k.from);
    }
}

TEST_F(TrackingTest, MaxStepRefusesLargeErrorsOnlyAfterTheFirstCorrection) {
    settings.maxStepSeconds = 10;
    clock.refuseSet = true;
    Hear(a, 2, -3600000);  // a step that failed corrected nothing
    clock.refuseSet = false;
    Hear(a, 2, -3600000);     // the first correction is made however large
    clock.unixMs = kStartMs;  // whole seconds again (the step kept whole milliseconds only), for exact errors
    Hear(a, 2, 10000);        // exactly the limit
    ASSERT_EQ(clock.sets.size(), 3u);
    clock.unixMs = kStartMs;
    TakeLog();
    const size_t sent = net.sent.size();
    const int64_t before = clock.unixMs;
    Hear(b, 1, 10002);  // a lower stratum would take over, but not with this error (sent as 10.001 s)
    Hear(a, 2, -3600002);
    EXPECT_EQ(TakeLog(), (Lines{"Refusing to step the clock by 10.001 seconds; MaxStep is 10",
                                "NTP Time broadcast received from 10.0.0.2",
                                "Refusing to step the clock by -3600.002 seconds; MaxStep is 10",
                                "NTP Time broadcast received from 10.0.0.1"}));
    // Refused outright: the clock, the server and the polls as they were, the rate back to the nominal
    // one (there is no best guess yet).
    EXPECT_EQ(clock.unixMs, before);
    EXPECT_EQ(clock.sets.size(), 3u);
    EXPECT_EQ(clock.adjustment, clock.increment);
    EXPECT_EQ(net.sent.size(), sent);
    EXPECT_EQ(syncState.lastServer, a);
    EXPECT_EQ(correctorState.steps + correctorState.slews, 2u);
    EXPECT_EQ(statusRecord.stepsRefused, 2u);
    EXPECT_EQ(statusRecord.lastRefusedStepSender, a);
    EXPECT_NEAR(statusRecord.lastRefusedStepError, -3600.002, 1e-3);
    EXPECT_EQ(statusRecord.broadcastsAccepted, 3u);
}

namespace {

class ConfiguredDelayTest : public TrackingTest {
  protected:
    void Configure(const std::string& text) {
        std::vector<SettingLine> lines;
        JudgeSettings(SettingsFromIni(text, "zelkornt.ini"), settings, lines);
    }
};

}  // namespace

TEST_F(ConfiguredDelayTest, FixedDelayIsAddedAndNeverPolled) {
    Configure("[Zelkor]\nOffset=250\n");
    LoadConfiguredDelay();
    EXPECT_EQ(TakeLog(), (Lines{"Offset is 0.250 seconds"}));
    Hear(a, 2, 500);
    EXPECT_EQ(TakeLog(), (Lines{"Delta is 0.750 seconds", "Slew clock", "Offset is 0.250 seconds",
                                "NTP Time broadcast received from 10.0.0.1"}));
    Hear(b, 1);
    EXPECT_TRUE(net.sent.empty());
    SntpMessage reply{};
    reply.bytes[0] = 0x1C;
    HandleReply(reply, b, Now());
    EXPECT_EQ(syncState.delay.Seconds(), 0.25);
}

TEST_F(ConfiguredDelayTest, UnusableOffsetIsReportedAndMeasuredInstead) {
    struct Case {
        const char* text;
        Lines log;
        int fixed;
    } cases[] = {
        {"[Zelkor]\nOffset=abc\n",
         {"Offset \"abc\" is not a count of milliseconds; the delay will be measured"},
         0},
        {"[Zelkor]\nOffset=-5\n",
         {"Offset \"-5\" is not a count of milliseconds; the delay will be measured"},
         0},
        {"[Zelkor]\nOffset=4294967296\n",
         {"Offset \"4294967296\" is not a count of milliseconds; the delay will be measured"},
         0},
        {"[zelkor]\noffset = 4294967295\n", {"Offset is 4294967.295 seconds"}, 1},
        // 67 zeros and 250: too long to hold, so never read cut short (as 0)
        {"[Zelkor]\nOffset=0000000000000000000000000000000000000000000000000000000000000000000250\n",
         {"Offset \"000000000000000000000000000000000000000000000000000000000000000\" is not a count of "
          "milliseconds; the delay will be measured"},
         0},
        {"[Zelkor]\n", {}, 0},
        {"", {}, 0},
    };
    for (const Case& k : cases) {
        syncState = SyncState{};
        Configure(k.text);
        LoadConfiguredDelay();
        EXPECT_EQ(TakeLog(), k.log) << k.text;
        EXPECT_EQ(syncState.fixedDelay, k.fixed) << k.text;
        EXPECT_EQ(syncState.delayValid, k.fixed) << k.text;
    }
}

TEST_F(TrackingTest, EachSenderIsPolledAtMostOnceEvery8SecondsAndAllOfThemFourTimes) {
    Hear(a, 2);
    HandleReply(ReplyToLastPoll(0, 0), a, Now());
    ASSERT_EQ(syncState.delayValid, 1);
    for (int i = 0; i < 50; ++i) Hear(b, 1);  // a flood of broadcasts that would each ask for a poll
    EXPECT_EQ(Polls(), 2u);                   // the new server once
    EXPECT_EQ(syncState.delayValid, 0);       // the old server's delay is not the new one's
    for (uint8_t i = 1; i <= 10; ++i) PollServer(Ip(10, 0, 1, i), 7);  // ten more senders: two of them
    EXPECT_EQ(Polls(), 4u);
    Advance(kMinPollIntervalMs);
    Hear(b, 1);
    EXPECT_EQ(Polls(), 5u);
    EXPECT_EQ(net.sent.back().peer.address, b);
}

// Every outcome of a broadcast, decided from what it says and the state alone.
TEST(BroadcastVerdict, EveryOutcomeFromTheBroadcastAndTheState) {
    const uint32_t server = Ip(10, 0, 0, 1), other = Ip(10, 0, 0, 2);
    const SymmetricKey one{1, MacType::kMd5, 3, {'o', 'n', 'e'}}, two{2, MacType::kMd5, 3, {'t', 'w', 'o'}};
    const MacResult none{}, signedOne{MacVerdict::kValid, &one, 1}, signedTwo{MacVerdict::kValid, &two, 2};
    const NtpTime now(3900000000u);
    SyncState sync;
    sync.lastServer = server;
    sync.lastStratum = 2;
    sync.lastAcceptTime = now - NtpTime(60);
    sync.freshness = {{1, now - NtpTime(60)}};
    sync.confirmed = true;  // its last signed answer found it 0.4 s ahead
    sync.confirmedError = 0.4;
    CorrectorState corrector;
    corrector.corrected = 1;
    Settings any, servers, trusted, maxStep;
    servers.serversConfigured = true;
    servers.servers = {{server, 0xFFFFFFFFu, 32}};
    trusted.trustedConfigured = true;
    trusted.trusted = {1};
    maxStep.maxStepSeconds = 10;
    struct Case {
        const char* what;
        const Settings& in;
        uint32_t sender;
        int stratum;
        int64_t errorMs;     // how far the broadcast's time is ahead of the local one
        double recentSteps;  // seconds stepped within the last 600 s
        MacResult mac;
        BroadcastVerdict verdict;
    } cases[] = {
        {"a lower stratum takes over", any, other, 1, 500, 0, none, BroadcastVerdict::kAccepted},
        {"an equal one does not", any, other, 2, 500, 0, none, BroadcastVerdict::kIgnored},
        {"stratum 0", any, server, 0, 500, 0, none, BroadcastVerdict::kIgnored},
        {"a sender not in Servers", servers, other, 1, 500, 0, none, BroadcastVerdict::kNotAllowed},
        {"no MAC", trusted, server, 2, 500, 0, none, BroadcastVerdict::kUnsigned},
        {"an untrusted key", trusted, server, 2, 500, 0, signedTwo, BroadcastVerdict::kUnsigned},
        {"a recording, from any address", trusted, other, 1, -61000, 0, signedOne,
         BroadcastVerdict::kReplayed},
        {"fresh, from a new sender", trusted, other, 1, 500, 0, signedOne, BroadcastVerdict::kUnconfirmed},
        {"fresh, from the server", trusted, server, 2, 500, 0, signedOne, BroadcastVerdict::kAccepted},
        {"from the server, 0.24 s off its confirmation", trusted, server, 2, 640, 0, signedOne,
         BroadcastVerdict::kAccepted},
        {"0.26 s off it", trusted, server, 2, 140, 0, signedOne, BroadcastVerdict::kUnconfirmed},
        {"a step within MaxStep", maxStep, server, 2, -10000, 0, none, BroadcastVerdict::kAccepted},
        {"with the last 600 s past it", maxStep, server, 2, -7500, 3, none, BroadcastVerdict::kStepTooLarge},
        {"with them at it", maxStep, server, 2, 7000, 3, none, BroadcastVerdict::kAccepted},
        {"a slew counts toward it too", maxStep, server, 2, 1900, 8.5, none, BroadcastVerdict::kStepTooLarge},
        {"a slew within it", maxStep, server, 2, 1500, 8.5, none, BroadcastVerdict::kAccepted},
    };
    for (const Case& c : cases) {
        SyncState s = sync;
        if (c.recentSteps != 0) AddStep(s.recentSteps, 5000, c.recentSteps);
        const int64_t ms = c.errorMs < 0 ? -c.errorMs : c.errorMs;
        const NtpTime by(static_cast<uint32_t>(ms / 1000), static_cast<uint32_t>(ms % 1000) * 4294967u);
        const BroadcastFacts b{c.sender, c.stratum, 0,   c.errorMs < 0 ? now - by : now + by,
                               false,    c.mac,     now, 6000};
        EXPECT_EQ(JudgeBroadcast(b, s, corrector, c.in).verdict, c.verdict) << c.what;
    }
}

// Every outcome of a reply, decided from what it says and the state alone.
TEST(ReplyVerdict, EveryOutcomeFromTheReplyAndTheState) {
    using V = ReplyVerdict;
    using P = PollPurpose;
    const uint32_t server = Ip(10, 0, 0, 1), other = Ip(10, 0, 0, 2);
    const SymmetricKey one{1, MacType::kMd5, 3, {'o', 'n', 'e'}}, two{2, MacType::kMd5, 3, {'t', 'w', 'o'}};
    const MacResult none{}, signedOne{MacVerdict::kValid, &one, 1}, signedTwo{MacVerdict::kValid, &two, 2};
    const NtpTime sent(3900000000u);  // the poll's transmit time
    CorrectorState corrector;
    corrector.corrected = 1;
    Settings any, maxStep;
    maxStep.maxStepSeconds = 10;
    struct Case {
        const char* what;
        P purpose;
        uint32_t key;  // the poll's; 0: unsigned
        uint32_t from;
        int stratum;
        bool forgedOrigin;
        uint32_t answeredAfterMs;  // from the poll to the reply's arrival
        uint32_t ahead;            // seconds the server's clock is ahead of ours, in the reply
        uint32_t heldFrom;         // the broadcast a confirmation is for: its sender and its error (s)
        uint32_t heldError;
        const MacResult& mac;
        const Settings& in;
        V verdict;
    } cases[] = {
        {"the delay", P::kDelay, 0, server, 2, false, 120, 0, 0, 0, none, any, V::kMeasured},
        {"a check of the server's time", P::kCheck, 1, server, 2, false, 120, 9, 0, 0, signedOne, any,
         V::kMeasured},
        {"from another address", P::kDelay, 0, other, 2, false, 120, 0, 0, 0, none, any, V::kUnmatched},
        {"with another origin", P::kDelay, 0, server, 2, true, 120, 0, 0, 0, none, any, V::kUnmatched},
        {"a signed poll, an unsigned reply", P::kDelay, 1, server, 2, false, 120, 0, 0, 0, none, any,
         V::kUnsigned},
        {"signed under another key", P::kDelay, 1, server, 2, false, 120, 0, 0, 0, signedTwo, any,
         V::kUnsigned},
        {"stratum 0", P::kDelay, 0, server, 0, false, 120, 0, 0, 0, none, any, V::kImplausible},
        {"signed, of another stratum", P::kDelay, 1, server, 3, false, 120, 0, 0, 0, signedOne, any,
         V::kImplausible},
        {"answered after 9 s", P::kDelay, 0, server, 2, false, 9000, 0, 0, 0, none, any, V::kImplausible},
        {"a confirmation", P::kConfirm, 1, server, 2, false, 120, 0, server, 0, signedOne, any,
         V::kConfirmed},
        {"for another sender's broadcast", P::kConfirm, 1, server, 2, false, 120, 0, other, 0, signedOne, any,
         V::kDisagrees},
        {"telling another time than it", P::kConfirm, 1, server, 2, false, 120, 0, server, 5, signedOne, any,
         V::kDisagrees},
        {"both an hour ahead, MaxStep 10", P::kConfirm, 1, server, 2, false, 120, 3600, server, 3600,
         signedOne, maxStep, V::kStepTooLarge},
        {"both 5 s ahead, MaxStep 10", P::kConfirm, 1, server, 2, false, 120, 5, server, 5, signedOne,
         maxStep, V::kConfirmed},
    };
    for (const Case& c : cases) {
        SyncState sync;
        Poll& poll = sync.polls[2];
        const NtpTime heldArrival = sent - NtpTime(1);
        poll = {server,    true,  {},
                sent,      c.key, 2,
                c.purpose, 0,     {c.heldFrom, 2, 0, heldArrival + NtpTime(c.heldError), heldArrival, c.key}};
        EncodeTimestamp(sent, poll.transmit);
        SntpMessage reply{};
        reply.bytes[0] = 0x1C;
        reply.bytes[1] = static_cast<uint8_t>(c.stratum);
        std::memcpy(reply.bytes + 24, poll.transmit, 8);
        if (c.forgedOrigin) reply.bytes[31] ^= 1;
        EncodeTimestamp(sent + NtpTime(c.ahead, 50 * 4294967u), reply.bytes + 32);  // received 50 ms after,
        EncodeTimestamp(sent + NtpTime(c.ahead, 60 * 4294967u), reply.bytes + 40);  // sent 60 ms after
        const NtpTime arrival = sent + NtpTime(c.answeredAfterMs / 1000, c.answeredAfterMs % 1000 * 4294967u);
        const ReplyJudged judged = JudgeReply({c.from, reply, c.mac, {arrival, 6000}}, sync, corrector, c.in);
        EXPECT_EQ(judged.verdict, c.verdict) << c.what;
    }
}

// The origin a reply must echo carries bits below the clock's resolution that no one can guess.
TEST_F(TrackingTest, APollsTransmitTimeHidesRandomBitsWithinItsMillisecond) {
    for (uint8_t i = 1; i <= 2; ++i) PollServer(Ip(10, 0, 1, i), 7);
    ASSERT_EQ(Polls(), 2u);
    const SntpMessage plain = BuildClientRequest(SystemClock().Now());
    const uint8_t* first = net.sent[0].bytes.data() + 40;
    EXPECT_NE(std::vector<uint8_t>(first, first + 8),
              std::vector<uint8_t>(net.sent[1].bytes.begin() + 40, net.sent[1].bytes.begin() + 48));
    const double ms = (DecodeTimestamp(first) - DecodeTimestamp(plain.bytes + 40)).Seconds() * 1000;
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 1);
}

// A flood of steps must not grow memory, and none counts less than 600 s.
TEST(StepWindowTest, StepsCountFor600SecondsInATableOfFixedSize) {
    StepWindow w;
    AddStep(w, 10999, 2);
    AddStep(w, 11000, 3);
    for (int i = 0; i < 100000; ++i) AddStep(w, 300000 + i % 1000, 0.001);
    EXPECT_NEAR(w.total, 105, 1e-6);
    const struct {
        int64_t nowMs;
        double total;
    } later[] = {{610999, 105}, {611000, 103}, {612000, 100}, {900999, 100}, {901000, 0}, {99999999, 0}};
    for (const auto& l : later) EXPECT_NEAR(StepsWithin(w, l.nowMs), l.total, 1e-6) << l.nowMs;
}

TEST_F(TrackingTest, ADayOfBroadcastsIsAFewServiceLogLinesAndAFloodOfRefusalsTwo) {
    ListenToServiceLog();
    settings.serversConfigured = true;
    settings.servers = {{a, 0xFFFFFFFFu, 32}};
    for (int minute = 0; minute < 1440; ++minute) {  // one broadcast a minute, the polls answered
        Hear(a, 2, minute == 0 ? 5000 : 1);
        if (AwaitingReply(syncState)) {
            const int64_t now = clock.unixMs - kStartMs;
            HandleReply(ReplyToLastPoll(now, now), a, Now());
        }
        Advance(60000);
    }
    const Lines day = TakeEvents();
    EXPECT_LE(day.size(), 30u);
    EXPECT_EQ(Lines(day.begin(), day.begin() + 3),
              (Lines{"<5>The time has been corrected by 5.000 seconds", "<5>Following 10.0.0.1 (stratum 2)",
                     "<6>Offset is 0.000 seconds"}));
    for (int i = 0; i < 100; ++i) Hear(c, 1, 3600000);  // a rogue not in Servers
    Advance(60000);
    DuePendingWork();
    EXPECT_EQ(TakeEvents(),
              (Lines{"<4>Refusing time broadcasts from 10.0.0.3: it is not in Servers",
                     "<4>Refused 99 more time broadcasts from senders not in Servers in the last minute"}));
    // Forged from the server's own address, a step a second: a few lines, then the minute's count.
    for (int i = 0; i < 100; ++i) {
        Hear(a, 2, i % 2 == 0 ? 5000 : -5000);
        Advance(1000);
    }
    DuePendingWork();
    const Lines flood = TakeEvents();
    EXPECT_EQ(std::vector<std::string>(flood.begin() + 2, flood.begin() + 4),
              (Lines{"<5>The time has been corrected by 5.000 seconds",
                     "<4>Stepped the clock 57 more times in the last minute"}));
    EXPECT_LE(flood.size(), 8u);
}

// Silences are told in the service log by the clock that never steps: a clock stepped back by a day
// says "silent for 601 s", never an age wrapped through 2^32.
TEST_F(TrackingTest, ASilentServerIsToldAndSoIsItsReturnInSecondsNoStepBends) {
    ListenToServiceLog();
    Hear(a, 2);
    TakeEvents();
    Advance(600000);
    DuePendingWork();
    Hear(a, 2);
    Advance(601000);
    clock.unixMs -= 86400000;
    Hear(b, 3);
    EXPECT_EQ(TakeEvents(),
              (Lines{"<4>10.0.0.1 has been silent for 600 s", "<6>10.0.0.1 is heard again after 600 s",
                     "<5>Following 10.0.0.2 (stratum 3) instead of 10.0.0.1, silent for 601 s"}));
}
