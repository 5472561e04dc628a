#include "sync/Broadcaster.h"

#include <cstring>

#include "auth/Keys.h"
#include "base/Log.h"
#include "sync/InForce.h"
#include "sync/Sntp.h"
#include "sync/Status.h"
#include "time/SystemClock.h"

bool OpenBroadcastSocket(SocketHandle& s) {
    SocketApi& net = Net();
    s = net.Open();
    if (s == kInvalidSocket) {
        const int error = net.LastError();
        StatusNetFailed(error, "Couldn't create NTP broadcast socket (%d)", error);
        return false;
    }
    if (net.EnableAddressReuse(s) == -1) {
        const int error = net.LastError();
        StatusNetFailed(error, "Couldn't set SNTP broadcast socket options (%d)", error);
        return false;
    }
    if (net.EnableBroadcast(s) == -1) {
        const int error = net.LastError();
        StatusNetFailed(error, "Couldn't set SNTP socket to broadcast (%d)", error);
        return false;
    }
    return true;
}

void BroadcastOnce(SocketHandle s, const SocketAddress& destination) {
    // Read as late as can be: only the signature, which covers it, comes between it and the send.
    const NtpTime now = settings.preciseTime ? SystemClock().PreciseNow() : SystemClock().Now();
    const SntpMessage message =
        BuildBroadcast(now, settings.preciseTime ? Resolution::kFull : Resolution::kMilliseconds);
    uint8_t bytes[kMaxAuthenticatedBytes];
    std::memcpy(bytes, message.bytes, kSntpMessageSize);
    int length = kSntpMessageSize;
    if (const SymmetricKey* key = FindKey(authentication.keys, settings.broadcastKey)) {
        length = AppendMac(bytes, *key);
        // A broadcast that cannot be signed is not sent: clients that trust the key would refuse it.
        if (length == 0) {
            ++statusRecord.sendFailures;
            LOG_LINE("Couldn't sign the broadcast with key %u", key->id);
            PublishStatus();
            return;
        }
    }
    if (Net().Send(s, bytes, length, destination) == -1) {
        ++statusRecord.sendFailures;
        LOG_LINE("NTP server sendto failed");
    } else {
        ++statusRecord.broadcastsSent;
        statusRecord.lastBroadcastSent = now;
    }
    PublishStatus();
}

bool StartBroadcaster(SocketHandle& s, SocketHandle& answers) {
    StartStatus(1);
    s = answers = kInvalidSocket;
    if (!OpenBroadcastSocket(s)) return false;
    // Signed broadcasts are followed only once the broadcaster answers a signed poll sent after one; with
    // PreciseTime its clients measure the delay by unsigned polls too.
    if ((settings.broadcastKey != 0 || settings.preciseTime) && !OpenAnswerSocket(answers)) return false;
    if (settings.preciseTime && answers != kInvalidSocket)
        statusRecord.receiveStamps = PrepareForPreciseTime(answers);
    statusRecord.state = WorkerState::kBroadcasting;
    return true;
}

SocketAddress BroadcastDestination() {
    // Sent from a port of the system's choice, so without a key server mode never holds the NTP port.
    return {AddressFromOctets(255, 255, 255, 255), NtpServicePort()};
}
