// Feeds datagrams of any length and content, from any sender, through the listener's whole dispatch:
// the responder, broadcast tracking, delay replies and the clock corrector, against an in-memory clock
// and socket. State is kept across inputs, so sequences (a poll, then its reply) are explored.
//
// Input: 4 bytes sender address, 2 bytes sender port, 2 bytes clock advance in ms, then the datagram.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/Log.h"
#include "base/Platform.h"
#include "net/Socket.h"
#include "sync/InForce.h"
#include "sync/Sntp.h"
#include "time/ClockBackend.h"

namespace {

class MemoryClock final : public ClockBackend {
  public:
    int64_t unixMs = 1700000000000;
    uint32_t adjustment = 100000;
    UtcSeconds ReadUtc() override {
        const int64_t seconds = unixMs >= 0 ? unixMs / 1000 : (unixMs - 999) / 1000;
        return {seconds, static_cast<int>(unixMs - seconds * 1000)};
    }
    bool SetUtc(UtcSeconds time) override {
        if (time.milliseconds < 0 || time.milliseconds > 999) return false;
        unixMs = time.seconds * 1000 + time.milliseconds;
        return true;
    }
    bool GetAdjustment(uint32_t& adj, uint32_t& inc, bool& disabled) override {
        adj = adjustment;
        inc = 100000;
        disabled = false;
        return true;
    }
    bool SetAdjustment(uint32_t adj) override {
        adjustment = adj;
        return true;
    }
    void EnableTimePrivilege() override {}
    ClockTold TellSynchronised(uint32_t, uint32_t) override { return ClockTold::kDone; }
    ClockTold TellUnsynchronised() override { return ClockTold::kDone; }
    ClockTold ArmLeap(LeapSecond) override { return ClockTold::kDone; }
};

class MemorySockets final : public SocketApi {
  public:
    const uint8_t* pending = nullptr;
    size_t pendingSize = 0;
    SocketAddress pendingFrom{};
    int Startup() override { return 0; }
    void Cleanup() override {}
    SocketHandle Open() override { return 3; }
    int Bind(SocketHandle, uint16_t) override { return 0; }
    int JoinGroup(SocketHandle, uint32_t) override { return 0; }
    int EnableAddressReuse(SocketHandle) override { return 0; }
    int EnableBroadcast(SocketHandle) override { return 0; }
    // One datagram, as Winsock gives it: a longer one cut to the buffer.
    int ReceiveMany(SocketHandle, Datagram* batch, int, bool) override {
        Datagram& d = batch[0];
        std::memset(d.bytes, 0, sizeof d.bytes);
        const size_t n = pendingSize < sizeof d.bytes ? pendingSize : sizeof d.bytes;
        if (n > 0) std::memcpy(d.bytes, pending, n);
        d.length = static_cast<int>(n);
        d.peer = pendingFrom;
        d.local = d.destination = 0;
        return 1;
    }
    int Send(SocketHandle, const uint8_t* buffer, int len, const SocketAddress&) override {
        // Every answer is one message: 48 bytes, with a crypto-NAK, or with an MD5 or SHA1 MAC.
        if ((len != 48 && len != 52 && len != 68 && len != 72) || (buffer[0] & 7) == 0) __builtin_trap();
        return len;
    }
    int LastError() override { return error; }
    uint16_t LookupNtpPort() override { return 0; }
    int error = 0;
};

MemoryClock clock;
MemorySockets sockets;
int64_t monotonicMs = 1000000;  // moves with the clock's advances, never with its steps

void Discard(const char*) {}
void DiscardEvent(Priority, EventKind, const char*) {}
int64_t Monotonic() {
    return monotonicMs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        InstallPlatform(
            {.clock = &clock, .net = &sockets, .monotonicMs = Monotonic, .serviceLog = DiscardEvent});
        ConsoleMode = 1;  // the log lines are formatted too, into sinks that drop them
        SetLogSink(Discard);
        SetServiceLogEvents(true);
        // The defences, when an input turns them on: senders in half the address space pass, and large
        // steps after the first correction fail.
        settings.servers.push_back(AllowedNetwork{0, HostToNet32(0x80000000u), 1});
        // Keys of each type, IDs 1 to 3, so that MACs under them verify or fail.
        authentication.keys.push_back(SymmetricKey{1, MacType::kMd5, 3, {'o', 'n', 'e'}});
        authentication.keys.push_back(SymmetricKey{2, MacType::kSha1, 3, {'t', 'w', 'o'}});
        authentication.keys.push_back(
            SymmetricKey{3, MacType::kAesCmac, 16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}});
        settings.trusted = {1, 3};
        return true;
    }();
    (void)ready;
    if (size < 8) return 0;
    std::memcpy(&sockets.pendingFrom.address, data, 4);
    std::memcpy(&sockets.pendingFrom.port, data + 4, 2);
    const int64_t advance = static_cast<int64_t>(data[6]) << 8 | data[7];
    clock.unixMs += advance;
    monotonicMs += advance * 4;  // so that polls, refusal summaries and step windows come and go
    settings.serversConfigured = data[6] & 1;
    settings.maxStepSeconds = (data[6] & 2) != 0 ? 10 : 0;
    settings.trustedConfigured = (data[6] & 4) != 0;
    sockets.pending = data + 8;
    sockets.pendingSize = size - 8;
    Datagram batch[kListenBatch];
    const Received received = ReceiveDatagrams(3, batch, kListenBatch, true);
    (void)HandleDatagrams(3, batch, received);
    return 0;
}
