#include "net/Socket.h"

#include <cstdio>
#include <cstring>

#include "base/Platform.h"

int SocketApi::SendMany(SocketHandle s, const Datagram* batch, int count) {
    for (int i = 0; i < count; ++i)
        if (Send(s, batch[i].bytes, batch[i].length, batch[i].peer) == -1) return i == 0 ? -1 : i;
    return count;
}

int SocketApi::SplitOffBroadcasts(SocketHandle&, SocketHandle& broadcasts) {
    broadcasts = kInvalidSocket;
    return 0;
}

ReceiveStamps SocketApi::EnableReceiveStamps(SocketHandle) {
    return ReceiveStamps::kRead;
}

int SocketApi::ForbidFragments(SocketHandle) {
    return -1;
}

const char* ReceiveStampsName(ReceiveStamps stamps) {
    switch (stamps) {
        case ReceiveStamps::kKernel:
            return "kernel";
        case ReceiveStamps::kSocket:
            return "socket";
        case ReceiveStamps::kRead:
            break;
    }
    return "read";
}

std::string SocketApi::Describe(int) {
    return {};
}

bool SentToMany(const Datagram& d) {
    if (d.destination == 0) return false;
    const uint32_t host = NetToHost32(d.destination);
    return (host >> 28) == 0xE || host == 0xFFFFFFFFu || (d.local != 0 && d.destination != d.local);
}

SocketApi& Net() {
    SocketApi* net = CurrentPlatform().net;
    return net != nullptr ? *net : PlatformNet();
}

uint16_t HostToNet16(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    uint16_t result;
    std::memcpy(&result, bytes, sizeof result);
    return result;
}

uint32_t HostToNet32(uint32_t value) {
    return AddressFromOctets(static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                             static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value));
}

uint32_t NetToHost32(uint32_t value) {
    uint8_t bytes[4];
    std::memcpy(bytes, &value, sizeof bytes);
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

uint32_t AddressFromOctets(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t result;
    std::memcpy(&result, bytes, sizeof result);
    return result;
}

AddressText FormatAddress(uint32_t address) {
    uint8_t bytes[4];
    std::memcpy(bytes, &address, sizeof bytes);
    AddressText out;
    (void)std::snprintf(out.text, sizeof out.text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return out;
}

uint16_t NtpServicePort() {
    const uint16_t port = Net().LookupNtpPort();
    return port != 0 ? port : HostToNet16(kNtpPort);
}
