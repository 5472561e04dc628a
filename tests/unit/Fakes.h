#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "base/Platform.h"
#include "net/Socket.h"
#include "sync/Sntp.h"
#include "time/Calendar.h"
#include "time/ClockBackend.h"

// A clock held as milliseconds since 1970, with a time adjustment, the synchronised state and a leap
// second armed that do nothing but remember (a step drops the leap, as Linux's does).
class FakeClock final : public ClockBackend {
  public:
    int64_t unixMs = 0;
    // One adjustment unit is 1 ppm: the slew arithmetic shows whole within the rate's 500 ppm bound.
    uint32_t adjustment = 1000000;
    uint32_t increment = 1000000;
    bool refuseSet = false;
    bool refuseAdjustment = false;
    bool failAdjustmentRead = false;
    std::vector<UtcSeconds> sets;
    std::vector<uint32_t> adjustmentsSet;
    int privilegeCalls = 0;
    LeapSecond leap = LeapSecond::kNone;
    uint32_t maxErrorUs = 0;  // 0: not synchronised
    ClockTold answer = ClockTold::kDone;

    void SetUtcCalendar(int year, int month, int day, int hour, int minute, int second, int ms);
    UtcSeconds ReadUtc() override;
    bool SetUtc(UtcSeconds time) override;
    bool GetAdjustment(uint32_t& adj, uint32_t& inc, bool& disabled) override;
    bool SetAdjustment(uint32_t adj) override;
    void EnableTimePrivilege() override { ++privilegeCalls; }
    ClockTold TellSynchronised(uint32_t maxUs, uint32_t) override { return Remember(maxErrorUs, maxUs); }
    ClockTold TellUnsynchronised() override { return Remember(maxErrorUs, 0u); }
    ClockTold ArmLeap(LeapSecond armed) override { return Remember(leap, armed); }
    template <typename T>
    ClockTold Remember(T& field, T value) {
        if (answer == ClockTold::kDone) field = value;
        return answer;
    }
};

struct Packet {
    std::vector<uint8_t> bytes;
    SocketAddress peer;
    uint32_t destination = 0;  // where the batching sockets tell: the address it was sent to
    uint32_t local = 0;
    int64_t ageNs = -1;  // the receive stamp's age, as a kernel stamp would give it
};

class FakeSockets final : public SocketApi {
  public:
    std::deque<Packet> incoming;
    std::vector<Packet> sent;
    int failOpen = 0, failBind = 0, failJoin = 0, failReuse = 0, failBroadcast = 0;  // error to give
    int failSend = 0;
    int failReceive = 0;  // error of the next receive, once
    int startupError = 0;
    uint16_t servicePort = 0;
    uint16_t boundPort = 0;
    uint32_t joinedGroup = 0;
    int lastError = 0;

    int Startup() override { return startupError; }
    void Cleanup() override {}
    SocketHandle Open() override;
    int Bind(SocketHandle s, uint16_t port) override;
    int JoinGroup(SocketHandle s, uint32_t group) override;
    int EnableAddressReuse(SocketHandle s) override;
    int EnableBroadcast(SocketHandle s) override;
    int Send(SocketHandle s, const uint8_t* buffer, int len, const SocketAddress& to) override;
    // > 0: ReceiveMany and SendMany batch, and tell where a datagram was sent, like the Linux sockets;
    // otherwise one datagram a receive, as Winsock.
    int batchSize = 0;
    uint32_t failSendTo = 0;  // with batching: every send to this address fails
    int sendManyCalls = 0;
    int ReceiveMany(SocketHandle s, Datagram* batch, int max, bool wait) override;
    int SendMany(SocketHandle s, const Datagram* batch, int count) override;
    int LastError() override { return lastError; }
    std::string Describe(int error) override { return error == 98 ? "Address already in use" : ""; }
    uint16_t LookupNtpPort() override { return servicePort; }
};

// Installs the fakes, resets all synchronisation state and captures the log.
class SyncTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // The fake clocks' reading, as a datagram arriving now carries it.
    Arrival Now() const;
    // One pass of the listener: what the fake sockets hold is received and handled.
    Listened Listen();
    std::vector<std::string> TakeLog();
    // Moves the fake clock and the monotonic clock on together.
    void Advance(int64_t ms);
    // The service log, captured as "<priority>text" lines; events: not only failures.
    void ListenToServiceLog(bool events = true);
    std::vector<std::string> TakeEvents();

    FakeClock clock;
    FakeSockets net;
    Platform platform;
};

// A server's reply (mode 4, version 3) to request: its originate the request's transmit field, its receive
// and transmit times the given Unix milliseconds, written as a server's clock writes them (exact ms).
struct SntpMessage;
SntpMessage ReplyTo(const std::vector<uint8_t>& request, int stratum, int64_t receiveUnixMs,
                    int64_t transmitUnixMs);

void SetEnvironment(const char* name, const char* value);  // null removes it
// A path in the temporary folder for this test alone: ctest runs tests side by side.
std::string TestPath(const std::string& name);
uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
std::vector<uint8_t> Hex(const std::string& text);
std::string ToHex(const uint8_t* bytes, size_t n);
