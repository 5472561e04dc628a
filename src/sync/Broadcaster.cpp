#include <cstring>

#include "sync/Log.h"
#include "sync/Sntp.h"
#include "sync/Status.h"
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
        StatusSetUpFailed("Couldn't create NTP broadcast socket (%d)", net.LastError());
        return false;
    }
    if (net.EnableAddressReuse(s) == -1) {
        StatusSetUpFailed("Couldn't set SNTP broadcast socket options (%d)", net.LastError());
        return false;
    }
    if (net.EnableBroadcast(s) == -1) {
        StatusSetUpFailed("Couldn't set SNTP socket to broadcast (%d)", net.LastError());
        return false;
    }
    return true;
}

void BroadcastOnce(SocketHandle s, const SocketAddress& destination) {
    const NtpTime now = SystemClock().Now();
    const SntpMessage message = BuildBroadcast(now);
    uint8_t bytes[kMaxAuthenticatedBytes];
    std::memcpy(bytes, message.bytes, kSntpMessageSize);
    int length = kSntpMessageSize;
    if (const SymmetricKey* key = FindKey(authentication.broadcastKey)) {
        length = AppendMac(bytes, *key);
        // A broadcast that cannot be signed is not sent: clients that trust the key would refuse it.
        if (length == 0) {
            ++statusRecord.sendFailures;
            LogMessage("Couldn't sign the broadcast with key %u", key->id);
            PublishStatus();
            return;
        }
    }
    if (Net().Send(s, bytes, length, destination) == -1) {
        ++statusRecord.sendFailures;
        LogMessage("NTP server sendto failed");
    } else {
        ++statusRecord.broadcastsSent;
        statusRecord.lastBroadcastSent = now;
    }
    PublishStatus();
}

uint32_t BroadcasterThread(void*) {
    StartStatus(1);
    LoadAuthentication();
    SocketHandle s = kInvalidSocket;
    if (!OpenBroadcastSocket(s)) return kFailed;
    statusRecord.state = WorkerState::kBroadcasting;
    // Unbound: sent from a port of the system's choice, so server mode never holds the NTP port.
    const SocketAddress destination{AddressFromOctets(255, 255, 255, 255), NtpServicePort()};
    // The first broadcast leaves at once; the interval runs from the end of each send.
    do {
        BroadcastOnce(s, destination);
    } while (CurrentWorkerGate().Pause(kBroadcastIntervalMs));
    return kEnded;
}
