#include <gtest/gtest.h>

#include "Fakes.h"
#include "service/Workers.h"
#include "sync/Broadcaster.h"
#include "sync/Corrector.h"
#include "sync/CorrectorState.h"
#include "sync/InForce.h"
#include "sync/LeapAndSync.h"
#include "sync/Sntp.h"
#include "sync/SyncState.h"
#include "sync/Tracking.h"

namespace {

using Lines = std::vector<std::string>;
using BroadcasterTest = SyncTest;

}  // namespace

TEST_F(BroadcasterTest, EachSetUpFailureIsLoggedAndEndsTheThread) {
    net.failOpen = 24;
    EXPECT_EQ(BroadcasterThread(nullptr), 1u);
    net.failOpen = 0;
    net.failReuse = 22;
    EXPECT_EQ(BroadcasterThread(nullptr), 1u);
    net.failReuse = 0;
    net.failBroadcast = 13;
    EXPECT_EQ(BroadcasterThread(nullptr), 1u);
    EXPECT_EQ(TakeLog(), (Lines{"Couldn't create NTP broadcast socket (24)",
                                "Couldn't set SNTP broadcast socket options (22)",
                                "Couldn't set SNTP socket to broadcast (13)"}));
}

TEST_F(BroadcasterTest, BroadcastCarriesTheClockToItsDestination) {
    clock.unixMs = 500;
    const SocketAddress destination{Ip(255, 255, 255, 255), HostToNet16(1123)};
    BroadcastOnce(7, destination);
    ASSERT_EQ(net.sent.size(), 1u);
    EXPECT_EQ(net.sent[0].peer.address, Ip(255, 255, 255, 255));
    EXPECT_EQ(net.sent[0].peer.port, HostToNet16(1123));
    EXPECT_EQ(ToHex(net.sent[0].bytes.data(), 48),
              "1D 0F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
              "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 83 AA 7E 80 7F FF FF 6C");
    net.failSend = 101;
    BroadcastOnce(7, destination);
    EXPECT_EQ(TakeLog(), (Lines{"NTP server sendto failed"}));
}
