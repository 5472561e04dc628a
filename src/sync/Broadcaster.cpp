#include <chrono>
#include <thread>

#include "sync/Log.h"
#include "sync/Sntp.h"
#include "time/SystemClock.h"

namespace {

constexpr int kBroadcastIntervalMs = 64000;
constexpr uint32_t kFailed = 1;

}  // namespace

uint32_t BroadcasterThread(void*) {
    SocketApi& net = Net();
    const SocketHandle s = net.Open();
    if (s == kInvalidSocket) {
        LogMessage("Couldn't create NTP broadcast socket (%d)", net.LastError());
        return kFailed;
    }
    if (net.EnableAddressReuse(s) == -1) {
        LogMessage("Couldn't set SNTP broadcast socket options (%d)", net.LastError());
        return kFailed;
    }
    if (net.EnableBroadcast(s) == -1) {
        LogMessage("Couldn't set SNTP socket to broadcast (%d)", net.LastError());
        return kFailed;
    }
    // Unbound: sent from a port of the system's choice, so server mode never holds the NTP port.
    const SocketAddress destination{AddressFromOctets(255, 255, 255, 255), NtpServicePort()};
    const SystemClock clock;
    for (;;) {
        const SntpMessage message = BuildBroadcast(clock.Now());
        if (net.Send(s, message.bytes, kSntpMessageSize, destination) == -1)
            LogMessage("NTP server sendto failed");
        std::this_thread::sleep_for(std::chrono::milliseconds(kBroadcastIntervalMs));
    }
}
