#include "Fakes.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/Log.h"
#include "base/Monotonic.h"
#include "sync/CorrectorState.h"
#include "sync/InForce.h"
#include "sync/RateLimit.h"
#include "sync/Status.h"
#include "sync/SyncState.h"
#include "time/SntpMessage.h"
#include "time/SystemClock.h"

namespace {

std::vector<std::string> capturedLog;
std::vector<std::string> capturedEvents;
int64_t monotonicMs = 0;

void Capture(const char* line) {
    capturedLog.emplace_back(line);
}

void CaptureEvent(Priority priority, EventKind, const char* text) {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "<%d>", static_cast<int>(priority));
    capturedEvents.push_back(std::string(prefix) + text);
}

int64_t FakeMonotonic() {
    return monotonicMs;
}

}  // namespace

void FakeClock::SetUtcCalendar(int year, int month, int day, int hour, int minute, int second, int ms) {
    unixMs = SecondsFromCalendar({year, month, day, hour, minute, second, 0}) * 1000 + ms;
}

UtcSeconds FakeClock::ReadUtc() {
    const int64_t seconds = unixMs >= 0 ? unixMs / 1000 : (unixMs - 999) / 1000;
    return {seconds, static_cast<int>(unixMs - seconds * 1000)};
}

bool FakeClock::SetUtc(UtcSeconds time) {
    sets.push_back(time);
    if (refuseSet || time.milliseconds < 0 || time.milliseconds > 999) return false;
    unixMs = time.seconds * 1000 + time.milliseconds;
    leap = LeapSecond::kNone;  // as a kernel's step drops the leap armed
    return true;
}

bool FakeClock::GetAdjustment(uint32_t& adj, uint32_t& inc, bool& disabled) {
    if (failAdjustmentRead) return false;
    adj = adjustment;
    inc = increment;
    disabled = false;
    return true;
}

bool FakeClock::SetAdjustment(uint32_t adj) {
    if (refuseAdjustment) return false;
    adjustment = adj;
    adjustmentsSet.push_back(adj);
    return true;
}

SocketHandle FakeSockets::Open() {
    if (failOpen) {
        lastError = failOpen;
        return kInvalidSocket;
    }
    return 7;
}

int FakeSockets::Bind(SocketHandle, uint16_t port) {
    if (failBind) return lastError = failBind, -1;
    boundPort = port;
    return 0;
}

int FakeSockets::JoinGroup(SocketHandle, uint32_t group) {
    if (failJoin) return lastError = failJoin, -1;
    joinedGroup = group;
    return 0;
}

int FakeSockets::EnableAddressReuse(SocketHandle) {
    return failReuse ? (lastError = failReuse, -1) : 0;
}

int FakeSockets::EnableBroadcast(SocketHandle) {
    return failBroadcast ? (lastError = failBroadcast, -1) : 0;
}

int FakeSockets::Send(SocketHandle, const uint8_t* buffer, int len, const SocketAddress& to) {
    if (failSend) return lastError = failSend, -1;
    sent.push_back({std::vector<uint8_t>(buffer, buffer + len), to});
    return len;
}

int FakeSockets::ReceiveMany(SocketHandle, Datagram* batch, int max, bool wait) {
    if (failReceive) {
        lastError = failReceive;
        failReceive = 0;
        return -1;
    }
    const bool batching = batchSize > 0;
    const int most = batching ? std::min(max, batchSize) : 1;
    int n = 0;
    while (n < most && !incoming.empty()) {
        Packet p = incoming.front();
        incoming.pop_front();
        Datagram& d = batch[n++];
        std::memset(d.bytes, 0, sizeof d.bytes);
        d.length = static_cast<int>(std::min(p.bytes.size(), sizeof d.bytes));
        if (d.length > 0) std::memcpy(d.bytes, p.bytes.data(), static_cast<size_t>(d.length));
        d.peer = p.peer;
        d.local = batching ? p.local : 0;
        d.destination = batching ? p.destination : 0;
        d.ageNs = p.ageNs;
    }
    if (n == 0 && wait) {
        lastError = 11;
        return -1;
    }
    return n;
}

int FakeSockets::SendMany(SocketHandle s, const Datagram* batch, int count) {
    if (batchSize <= 0) return SocketApi::SendMany(s, batch, count);
    ++sendManyCalls;
    for (int i = 0; i < count; ++i) {
        if (batch[i].peer.address == failSendTo) {
            lastError = 105;
            return i == 0 ? -1 : i;
        }
        sent.push_back(
            {std::vector<uint8_t>(batch[i].bytes, batch[i].bytes + batch[i].length), batch[i].peer});
    }
    return count;
}

namespace {

void PutTimestamp(uint8_t* out, int64_t unixMs) {
    const uint32_t seconds = static_cast<uint32_t>(unixMs / 1000 + 2208988800);
    const uint32_t fraction = static_cast<uint32_t>(unixMs % 1000) * 4294967u;
    const uint8_t bytes[8] = {uint8_t(seconds >> 24), uint8_t(seconds >> 16),  uint8_t(seconds >> 8),
                              uint8_t(seconds),       uint8_t(fraction >> 24), uint8_t(fraction >> 16),
                              uint8_t(fraction >> 8), uint8_t(fraction)};
    std::memcpy(out, bytes, 8);
}

}  // namespace

SntpMessage ReplyTo(const std::vector<uint8_t>& request, int stratum, int64_t receiveUnixMs,
                    int64_t transmitUnixMs) {
    SntpMessage reply{};
    reply.bytes[0] = 0x1C;
    reply.bytes[1] = static_cast<uint8_t>(stratum);
    std::memcpy(reply.bytes + 24, request.data() + 40, 8);
    PutTimestamp(reply.bytes + 32, receiveUnixMs);
    PutTimestamp(reply.bytes + 40, transmitUnixMs);
    return reply;
}

void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

std::string TestPath(const std::string& name) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string id = std::string(test->test_suite_name()) + "." + test->name();
    for (char& c : id)
        if (c == '/') c = '_';  // parameterised tests are named "Cases/Test/0"
    return ::testing::TempDir() + "zelkor-" + id + "-" + name;
}

void SyncTest::SetUp() {
    // Never the machine's own configuration.
    SetEnvironment("ZELKOR_CONFIG", TestPath("no-such-config.ini").c_str());
    SetEnvironment("ZELKOR_CONFDIR", TestPath("no-such-conf.d").c_str());
    // Nor its status file: one in a folder of the tests' own (this user's alone, as the daemon wants it).
    const std::filesystem::path folder = TestPath("status");
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    SetEnvironment("ZELKOR_STATUS", (folder / "status").string().c_str());
    ResetStatus();
    platform = Platform{};
    platform.clock = &clock;
    platform.net = &net;
    platform.monotonicMs = FakeMonotonic;
    InstallPlatform(platform);
    syncState = SyncState{};
    correctorState = CorrectorState{};
    settings = Settings{};
    authentication = Authentication{};
    rateLimit = RateLimitTable{};
    capturedLog.clear();
    capturedEvents.clear();
    ConsoleMode = 1;
    SetLogSink(Capture);
    // A monotonic clock far from 0, which only Advance moves.
    monotonicMs = 1000000;
    ResetServiceLog();
}

void SyncTest::TearDown() {
    ResetStatus();
    std::error_code ignored;
    std::filesystem::remove_all(TestPath("status"), ignored);
    ResetServiceLog();
    ResetPlatform();
    SetLogSink(nullptr);
    ConsoleMode = 0;
}

Arrival SyncTest::Now() const {
    return {SystemClock().Now(), MonotonicMs()};
}

Listened SyncTest::Listen() {
    Datagram batch[kListenBatch];
    const Received received = ReceiveDatagrams(7, batch, kListenBatch, true);
    return HandleDatagrams(7, batch, received);
}

void SyncTest::Advance(int64_t ms) {
    clock.unixMs += ms;
    monotonicMs += ms;
}

void SyncTest::ListenToServiceLog(bool events) {
    platform.serviceLog = CaptureEvent;
    InstallPlatform(platform);
    SetServiceLogEvents(events);
}

std::vector<std::string> SyncTest::TakeEvents() {
    std::vector<std::string> lines;
    lines.swap(capturedEvents);
    return lines;
}

std::vector<std::string> SyncTest::TakeLog() {
    std::vector<std::string> lines;
    lines.swap(capturedLog);
    return lines;
}

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return AddressFromOctets(a, b, c, d);
}

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string ToHex(const uint8_t* bytes, size_t n) {
    std::string out;
    char buffer[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buffer, sizeof buffer, i ? " %02X" : "%02X", bytes[i]);
        out += buffer;
    }
    return out;
}
