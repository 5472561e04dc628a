#include "sync/Log.h"
#include "sync/Sntp.h"
#include "time/SystemClock.h"

namespace {

constexpr uint32_t kBroadcastIntervalMs = 64000;
constexpr uint32_t kFailed = 1;
constexpr uint32_t kEnded = 0;

}  // namespace

bool OpenBroadcastSocket(SocketHandle& s) {
    SocketApi& net = Net();
    s = net.Open();
    if (s == kInvalidSocket) {
        LogMessage("Couldn't create NTP broadcast socket (%d)", net.LastError());
        return false;
    }
    if (net.EnableAddressReuse(s) == -1) {
        LogMessage("Couldn't set SNTP broadcast socket options (%d)", net.LastError());
        return false;
    }
    if (net.EnableBroadcast(s) == -1) {
        LogMessage("Couldn't set SNTP socket to broadcast (%d)", net.LastError());
        return false;
    }
    return true;
}

void BroadcastOnce(SocketHandle s, const SocketAddress& destination) {
    const SntpMessage message = BuildBroadcast(SystemClock().Now());
    if (Net().Send(s, message.bytes, kSntpMessageSize, destination) == -1)
        LogMessage("NTP server sendto failed");
}

uint32_t BroadcasterThread(void*) {
    SocketHandle s = kInvalidSocket;
    if (!OpenBroadcastSocket(s)) return kFailed;
    // Unbound: sent from a port of the system's choice, so server mode never holds the NTP port.
    const SocketAddress destination{AddressFromOctets(255, 255, 255, 255), NtpServicePort()};
    // The first broadcast leaves at once; the interval runs from the end of each send.
    do {
        BroadcastOnce(s, destination);
    } while (CurrentWorkerGate().Pause(kBroadcastIntervalMs));
    return kEnded;
}
