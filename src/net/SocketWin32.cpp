// Windows Sockets 1.1 (winsock.h, wsock32): the option numbers are those of version 1.1, so
// IP_ADD_MEMBERSHIP is 5; the Winsock 2 headers number it differently and the join would fail.

#include <windows.h>
#include <winsock.h>

#include "net/Socket.h"

const int kErrorMessageTooLong = WSAEMSGSIZE;

namespace {

sockaddr_in ToSockaddr(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    return sa;
}

int SetIntOption(SocketHandle s, int level, int name) {
    const int one = 1;
    return setsockopt(static_cast<SOCKET>(s), level, name, reinterpret_cast<const char*>(&one), sizeof one) ==
                   0
               ? 0
               : -1;
}

class Win32Sockets final : public SocketApi {
  public:
    int Startup() override {
        WSADATA data;
        return WSAStartup(0x0101, &data);
    }

    void Cleanup() override { WSACleanup(); }

    SocketHandle Open() override {
        const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
        return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
    }

    int Bind(SocketHandle s, uint16_t port) override {
        const sockaddr_in sa = ToSockaddr(htonl(INADDR_ANY), port);
        return bind(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
    }

    int JoinGroup(SocketHandle s, uint32_t group) override {
        ip_mreq request{};
        request.imr_multiaddr.s_addr = group;
        request.imr_interface.s_addr = htonl(INADDR_ANY);
        return setsockopt(static_cast<SOCKET>(s), IPPROTO_IP, IP_ADD_MEMBERSHIP,
                          reinterpret_cast<const char*>(&request), sizeof request) == 0
                   ? 0
                   : -1;
    }

    int EnableAddressReuse(SocketHandle s) override { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR); }
    int EnableBroadcast(SocketHandle s) override { return SetIntOption(s, SOL_SOCKET, SO_BROADCAST); }

    // A datagram longer than the buffer fails with WSAEMSGSIZE, its first bytes received.
    int Receive(SocketHandle s, uint8_t* buffer, int len, SocketAddress& from) override {
        sockaddr_in sa{};
        int length = sizeof sa;
        const int n = recvfrom(static_cast<SOCKET>(s), reinterpret_cast<char*>(buffer), len, 0,
                               reinterpret_cast<sockaddr*>(&sa), &length);
        from.address = sa.sin_addr.s_addr;
        from.port = sa.sin_port;
        return n == SOCKET_ERROR ? -1 : n;
    }

    int Send(SocketHandle s, const uint8_t* buffer, int len, const SocketAddress& to) override {
        const sockaddr_in sa = ToSockaddr(to.address, to.port);
        const int n = sendto(static_cast<SOCKET>(s), reinterpret_cast<const char*>(buffer), len, 0,
                             reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        return n == SOCKET_ERROR ? -1 : n;
    }

    int LastError() override { return WSAGetLastError(); }

    uint16_t LookupNtpPort() override {
        const servent* entry = getservbyname("ntp", "udp");
        return entry != nullptr ? static_cast<uint16_t>(entry->s_port) : 0;
    }
};

}  // namespace

SocketApi& PlatformNet() {
    static Win32Sockets sockets;
    return sockets;
}
