// Windows Sockets 1.1 (winsock.h, wsock32): the option numbers are those of version 1.1, so
// IP_ADD_MEMBERSHIP is 5; the Winsock 2 headers number it differently and the join would fail.

#include <windows.h>
#include <winsock.h>

#include <cstring>

#include "net/Socket.h"
#include "net/SocketCommon.h"

const int kErrorMessageTooLong = WSAEMSGSIZE;
const int kErrorWouldBlock = WSAEWOULDBLOCK;

namespace {

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

    int Bind(SocketHandle s, uint16_t port) override { return BindAny<SOCKET>(s, port); }
    int JoinGroup(SocketHandle s, uint32_t group) override { return JoinGroupOnDefault<SOCKET>(s, group); }
    int EnableAddressReuse(SocketHandle s) override {
        return SetIntOption<SOCKET>(s, SOL_SOCKET, SO_REUSEADDR);
    }
    int EnableBroadcast(SocketHandle s) override { return SetIntOption<SOCKET>(s, SOL_SOCKET, SO_BROADCAST); }

    // Winsock 1.1 has no batch call: one datagram, waited for (broadcasts share the listener's socket here,
    // so nothing asks for what is merely there). One longer than the buffer fails with WSAEMSGSIZE, its
    // first bytes received, and is handled from them.
    int ReceiveMany(SocketHandle s, Datagram* batch, int max, bool) override {
        if (max < 1) return 0;
        Datagram& d = batch[0];
        std::memset(d.bytes, 0, sizeof d.bytes);
        d.local = 0;
        d.destination = 0;
        d.ageNs = -1;  // Winsock 1.1 has no receive stamps
        sockaddr_in sa{};
        int length = sizeof sa;
        const int n = recvfrom(static_cast<SOCKET>(s), reinterpret_cast<char*>(d.bytes), kDatagramBytes, 0,
                               reinterpret_cast<sockaddr*>(&sa), &length);
        d.peer.address = sa.sin_addr.s_addr;
        d.peer.port = sa.sin_port;
        if (n == SOCKET_ERROR && WSAGetLastError() != WSAEMSGSIZE) return -1;
        d.length = n == SOCKET_ERROR ? kDatagramBytes : n;
        return 1;
    }

    int Send(SocketHandle s, const uint8_t* buffer, int len, const SocketAddress& to) override {
        // Winsock 1.1 has no flag for a send that must not wait.
        return SendTo<SOCKET>(s, buffer, len, to, 0);
    }

    int LastError() override { return WSAGetLastError(); }

    std::string Describe(int error) override {
        char text[256];
        // IGNORE_INSERTS: no arguments are passed, so an insert marker is never expanded from memory.
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
        while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
        return std::string(text, n);
    }

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
