#include "sync/Sntp.h"

#include "sync/Log.h"
#include "time/SystemClock.h"

namespace {

constexpr uint32_t kFailed = 1;

}  // namespace

bool OpenListenerSocket(SocketHandle& s) {
    SocketApi& net = Net();
    s = net.Open();
    if (s == kInvalidSocket) {
        LogMessage("Couldn't create NTP server socket (%d)", net.LastError());
        return false;
    }
    // No address reuse: a second instance must fail here rather than share the port.
    if (net.Bind(s, NtpServicePort()) == -1) {
        LogMessage("Couldn't bind NTP socket. (%d)  Is Zelkor or Ombrix running?", net.LastError());
        return false;
    }
    const uint32_t group = AddressFromOctets(kMulticastGroupOctets[0], kMulticastGroupOctets[1],
                                             kMulticastGroupOctets[2], kMulticastGroupOctets[3]);
    if (net.JoinGroup(s, group) == -1) {
        LogMessage("Couldn't add membership of multicast group (%d)", net.LastError());
        return false;
    }
    return true;
}

void DispatchMessage(const SntpMessage& message, const SocketAddress& sender, SocketHandle s) {
    if (ConsoleMode)
        LogMessage("NTP message received from %s mode %d", FormatAddress(sender.address).text,
                   MessageMode(message));
    const SystemClock clock;
    const NtpTime arrival = clock.Now();
    switch (MessageMode(message)) {
        case kModeBroadcast:
            HandleBroadcast(message, sender.address, s);
            break;
        case kModeClient: {
            // Answered at once, from anyone: every client-mode machine is a stratum-15 server too.
            SntpMessage reply;
            BuildServerReply(message, arrival, clock.Now(), reply);
            if (Net().Send(s, reply.bytes, kSntpMessageSize, sender) == -1)
                LogMessage("NTP server sendto failed");
            break;
        }
        case kModeServer:
            HandleReply(message, sender.address);
            break;
        default:
            break;
    }
}

void ListenOnce(SocketHandle s) {
    // Cleared each time: a short datagram leaves zeros, never the previous message, behind it.
    SntpMessage message{};
    SocketAddress sender{};
    SocketApi& net = Net();
    if (net.Receive(s, message.bytes, kSntpMessageSize, sender) == -1 &&
        net.LastError() != kErrorMessageTooLong) {
        LogMessage("NTP server recvfrom failed");
        return;
    }
    DispatchMessage(message, sender, s);
}

uint32_t ListenerThread(void*) {
    LoadConfiguredDelay();
    SocketHandle s = kInvalidSocket;
    if (!OpenListenerSocket(s)) return kFailed;
    for (;;) ListenOnce(s);
}
