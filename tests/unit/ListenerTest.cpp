#include <gtest/gtest.h>

#include <random>

#include "Fakes.h"
#include "base/Log.h"
#include "service/Workers.h"
#include "sync/Corrector.h"
#include "sync/CorrectorState.h"
#include "sync/InForce.h"
#include "sync/LeapAndSync.h"
#include "sync/RateLimit.h"
#include "sync/Sntp.h"
#include "sync/Status.h"
#include "sync/SyncState.h"
#include "sync/Tracking.h"

namespace {

using Lines = std::vector<std::string>;

class ListenerTest : public SyncTest {
  protected:
    void Receive(std::vector<uint8_t> bytes, uint32_t from = Ip(10, 0, 0, 2), uint16_t port = 0x3930) {
        net.incoming.push_back({std::move(bytes), {from, port}});
        Listen();
    }
    static std::vector<uint8_t> Request(uint8_t flags, size_t length = 48) {
        std::vector<uint8_t> bytes(length, 0);
        bytes[0] = flags;
        bytes[40] = 0xC0;
        return bytes;
    }
};

}  // namespace

TEST_F(ListenerTest, SetUpBindsTheServicePortAndJoinsTheGroup) {
    net.servicePort = HostToNet16(1123);
    SocketHandle s, broadcasts;
    ASSERT_TRUE(OpenListenerSocket(s, broadcasts));
    EXPECT_EQ(net.boundPort, HostToNet16(1123));
    EXPECT_EQ(net.joinedGroup, Ip(224, 0, 1, 1));
    net.servicePort = 0;  // no services entry: 123
    ASSERT_TRUE(OpenListenerSocket(s, broadcasts));
    EXPECT_EQ(net.boundPort, HostToNet16(123));
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(ListenerTest, EachSetUpFailureIsLoggedWithTheErrorAndEndsTheThread) {
    ListenToServiceLog(false);
    net.failOpen = 24;
    EXPECT_EQ(ListenerThread(nullptr), 1u);
    net.failOpen = 0;
    net.failBind = 98;
    EXPECT_EQ(ListenerThread(nullptr), 1u);
    net.failBind = 0;
    net.failJoin = 19;
    EXPECT_EQ(ListenerThread(nullptr), 1u);
    EXPECT_EQ(TakeLog(), (Lines{"Couldn't create NTP server socket (24)",
                                "Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running?",
                                "Couldn't add membership of multicast group (19)"}));
    // The service log gives the error's text where the platform has one.
    EXPECT_EQ(TakeEvents(), (Lines{"<3>Couldn't create NTP server socket (24)",
                                   "<3>Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running? "
                                   "[98: Address already in use]",
                                   "<3>Couldn't add membership of multicast group (19)"}));
}

TEST_F(ListenerTest, RequestIsAnsweredToItsSenderWithTheArrivalTime) {
    clock.unixMs = 1700000000250;
    Receive(Request(0x23), Ip(10, 0, 0, 2), 0x3930);
    ASSERT_EQ(net.sent.size(), 1u);
    const Packet& reply = net.sent[0];
    EXPECT_EQ(reply.peer.address, Ip(10, 0, 0, 2));
    EXPECT_EQ(reply.peer.port, 0x3930);
    EXPECT_EQ(ToHex(reply.bytes.data(), 48),
              "24 0F 00 F8 00 00 00 00 00 00 00 00 4C 4F 43 4C E8 FE 6F 80 3F FF FF B6 "
              "C0 00 00 00 00 00 00 00 E8 FE 6F 80 3F FF FF B6 E8 FE 6F 80 3F FF FF B6");
    EXPECT_EQ(TakeLog(), (Lines{"NTP message received from 10.0.0.2 mode 3"}));
}

TEST_F(ListenerTest, LongDatagramIsHandledFromItsFirst48Bytes) {
    Receive(Request(0x0B, 60));
    ASSERT_EQ(net.sent.size(), 1u);
    EXPECT_EQ(net.sent[0].bytes.size(), 48u);
    EXPECT_EQ(net.sent[0].bytes[0], 0x0C);
    EXPECT_EQ(net.sent[0].bytes[24], 0xC0);
}

// An answer to these would go to many, or be larger than what asked for it: a reflector's dream.
TEST_F(ListenerTest, ShortOrBroadcastRequestsAreNotAnswered) {
    net.batchSize = 32;  // the platform tells where a datagram was sent
    const uint32_t local = Ip(10, 0, 0, 1);
    struct Case {
        std::vector<uint8_t> request;
        uint32_t destination;
        bool answered;
        uint32_t source = Ip(10, 0, 0, 2);
    } cases[] = {
        {{0x1B}, local, false},
        {Request(0x1B), local, false, Ip(224, 0, 1, 1)},  // a forged source: the answer would go to many
        {Request(0x1B), local, false, Ip(255, 255, 255, 255)},
        {std::vector<uint8_t>(47, 0x1B), local, false},
        {Request(0x1B), Ip(255, 255, 255, 255), false},
        {Request(0x1B), Ip(10, 0, 0, 255), false},  // the subnet's broadcast address
        {Request(0x1B), Ip(224, 0, 1, 1), false},
        {Request(0x1B), local, true},
        {Request(0x1B), 0, true},  // a platform that cannot tell: answered
    };
    for (const Case& c : cases) {
        net.sent.clear();
        net.incoming.push_back({c.request, {c.source, 0x3930}, c.destination, local});
        Listen();
        EXPECT_EQ(net.sent.size(), c.answered ? 1u : 0u) << FormatAddress(c.destination).text;
    }
    EXPECT_EQ(statusRecord.requestsDropped, 7u);
}

TEST_F(ListenerTest, OtherModesAreLoggedAndIgnored) {
    for (uint8_t flags : {0x1E, 0x19, 0x18, 0x1F, 0x1A}) Receive(Request(flags));
    EXPECT_TRUE(net.sent.empty());
    EXPECT_EQ(TakeLog(),
              (Lines{"NTP message received from 10.0.0.2 mode 6", "NTP message received from 10.0.0.2 mode 1",
                     "NTP message received from 10.0.0.2 mode 0", "NTP message received from 10.0.0.2 mode 7",
                     "NTP message received from 10.0.0.2 mode 2"}));
}

TEST_F(ListenerTest, ReceiveAndSendFailuresAreLoggedAndTheLoopGoesOn) {
    net.failReceive = 104;
    Listen();
    net.failSend = 1;
    Receive(Request(0x1B));
    net.failSend = 0;
    Receive(Request(0x1B));
    EXPECT_EQ(net.sent.size(), 1u);
    EXPECT_EQ(TakeLog(), (Lines{"NTP server recvfrom failed", "NTP message received from 10.0.0.2 mode 3",
                                "NTP server sendto failed", "NTP message received from 10.0.0.2 mode 3"}));
}

TEST_F(ListenerTest, NothingIsFormattedWhenNotInConsoleMode) {
    ConsoleMode = 0;
    Receive(Request(0x1B));
    EXPECT_EQ(net.sent.size(), 1u);
    EXPECT_TRUE(TakeLog().empty());
}

TEST_F(ListenerTest, BatchIsAnsweredInArrivalOrderAroundAPoll) {
    net.batchSize = 8;
    ConsoleMode = 0;  // the service's way: replies go out together
    clock.unixMs = 1700000000000;
    net.incoming.push_back({Request(0x1B), {Ip(10, 0, 0, 5), 1}});
    net.incoming.push_back({Request(0x23), {Ip(10, 0, 0, 6), 2}});
    SntpMessage broadcast = BuildBroadcast(NtpTime(3908988800u, 0));
    broadcast.bytes[1] = 2;
    net.incoming.push_back(
        {std::vector<uint8_t>(broadcast.bytes, broadcast.bytes + 48), {Ip(10, 0, 0, 7), 3}});
    net.incoming.push_back({Request(0x0B, 60), {Ip(10, 0, 0, 8), 4}});
    Listen();
    ASSERT_EQ(net.sent.size(), 4u);
    const uint32_t order[] = {Ip(10, 0, 0, 5), Ip(10, 0, 0, 6), Ip(10, 0, 0, 7), Ip(10, 0, 0, 8)};
    const uint8_t flags[] = {0x1C, 0x24, 0x1B, 0x0C};  // two replies, the poll, the last reply
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(net.sent[i].peer.address, order[i]) << i;
        EXPECT_EQ(net.sent[i].bytes[0], flags[i]) << i;
        EXPECT_EQ(net.sent[i].bytes.size(), 48u) << i;
    }
    EXPECT_EQ(net.sendManyCalls, 2);  // the replies before the broadcast, then the one after
}

TEST_F(ListenerTest, OnlyABroadcastBreaksUpABatchOfReplies) {
    net.batchSize = 8;
    ConsoleMode = 0;
    SntpMessage reply{};
    reply.bytes[0] = 0x1C;
    net.incoming.push_back({Request(0x1B), {Ip(10, 0, 0, 5), 1}});
    net.incoming.push_back({std::vector<uint8_t>(reply.bytes, reply.bytes + 48), {Ip(10, 0, 0, 6), 2}});
    net.incoming.push_back({Request(0x1B, 60), {Ip(10, 0, 0, 7), 3}});
    net.incoming.push_back({Request(0x1E), {Ip(10, 0, 0, 8), 4}});
    net.incoming.push_back({Request(0x1B), {Ip(10, 0, 0, 9), 5}});
    Listen();
    EXPECT_EQ(net.sent.size(), 3u);
    EXPECT_EQ(net.sendManyCalls, 1);
}

TEST_F(ListenerTest, FailedReplyInABatchIsLoggedAndTheRestAreSent) {
    net.batchSize = 8;
    net.failSendTo = Ip(10, 0, 0, 11);
    for (uint32_t i = 0; i < 3; ++i) net.incoming.push_back({Request(0x1B), {Ip(10, 0, 0, 10 + i), 5}});
    Listen();
    ASSERT_EQ(net.sent.size(), 2u);
    EXPECT_EQ(net.sent[0].peer.address, Ip(10, 0, 0, 10));
    EXPECT_EQ(net.sent[1].peer.address, Ip(10, 0, 0, 12));
    // In the console each datagram's lines stay together.
    EXPECT_EQ(TakeLog(), (Lines{"NTP message received from 10.0.0.10 mode 3",
                                "NTP message received from 10.0.0.11 mode 3", "NTP server sendto failed",
                                "NTP message received from 10.0.0.12 mode 3"}));
}

// Whatever arrives, of any length and content, is received, answered at most once with 48 bytes,
// and never crashes the listener (the sanitizer build runs this too).
TEST_F(ListenerTest, RandomDatagramsOfEveryLengthAreSurvived) {
    std::mt19937 random(20261207);
    clock.unixMs = 1700000000000;
    ConsoleMode = 0;
    size_t expectedReplies = 0;
    for (int length = 0; length <= 1472; ++length) {
        std::vector<uint8_t> bytes(static_cast<size_t>(length));
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        if (length >= 48 && (bytes[0] & 7) == kModeClient) ++expectedReplies;
        // From hosts: a source no host has (multicast, broadcast) is never answered.
        Receive(bytes, Ip(10, static_cast<uint8_t>(random()), static_cast<uint8_t>(random()), 1),
                static_cast<uint16_t>(random()));
        clock.unixMs += 1000;
    }
    for (const Packet& d : net.sent) EXPECT_EQ(d.bytes.size(), 48u);
    size_t replies = 0;
    for (const Packet& d : net.sent) replies += (d.bytes[0] & 7) == kModeServer;
    EXPECT_EQ(replies, expectedReplies);
}

TEST_F(ListenerTest, ReceivesThatFailWithoutEndEndTheListenerAsAFailure) {
    ConsoleMode = 0;
    ListenToServiceLog(false);  // failures reach the service log whatever ServiceLog says
    for (int i = 1; i < kMaxReceiveFailuresInARow; ++i) ASSERT_EQ(Listen(), Listened::kGoOn);  // EAGAIN
    Receive(Request(0x1B));  // one datagram between, and the count starts again
    for (int i = 1; i < kMaxReceiveFailuresInARow; ++i) ASSERT_EQ(Listen(), Listened::kGoOn);
    EXPECT_EQ(Listen(), Listened::kFailedForGood);
    EXPECT_EQ(TakeEvents(),
              Lines{"<3>NTP server recvfrom failed 1000 times in a row (11); the listener stops"});
    EXPECT_EQ(statusRecord.state, WorkerState::kFailed);
}

// RateLimit: each source its bucket, in a table that no number of sources grows.
TEST_F(ListenerTest, RateLimitAnswersEachSourceItsBurstThenOnceAnInterval) {
    ConsoleMode = 0;
    rateLimit = MakeRateLimitTable(2, 3, 12345);
    const struct {
        int64_t afterMs;
        uint32_t from;
        size_t answered;
    } steps[] = {{0, Ip(10, 0, 0, 2), 3},
                 {0, Ip(10, 0, 0, 3), 3},
                 {1999, Ip(10, 0, 0, 2), 0},
                 {1, Ip(10, 0, 0, 2), 1},
                 {60000, Ip(10, 0, 0, 2), 3}};
    for (const auto& step : steps) {
        Advance(step.afterMs);
        net.sent.clear();
        for (int i = 0; i < 5; ++i) Receive(Request(0x1B), step.from);
        EXPECT_EQ(net.sent.size(), step.answered) << step.afterMs;
    }
    EXPECT_EQ(statusRecord.requestsLimited, 2u + 2u + 5u + 4u + 2u);
    EXPECT_EQ(rateLimit.sources.size(), static_cast<size_t>(kRateLimitSources));
    rateLimit = MakeRateLimitTable(0, 0, 0);
}
