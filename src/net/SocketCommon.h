#pragma once

// What the two platforms' socket files do alike, on the platform's own types: each includes this after
// its own headers (sys/socket.h and netinet/in.h, or winsock.h), which give sockaddr_in, ip_mreq and
// setsockopt. Native is the platform's socket type (int, or SOCKET).

#include "net/Socket.h"

inline sockaddr_in ToSockaddr(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = address;
    return sa;
}

template <typename Native, typename Value>
int SetOption(SocketHandle s, int level, int name, const Value& value) {
    // Winsock takes the value as char*; POSIX as void*, which a char* converts to.
    return setsockopt(static_cast<Native>(s), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0
               ? 0
               : -1;
}

template <typename Native>
int SetIntOption(SocketHandle s, int level, int name) {
    const int one = 1;
    return SetOption<Native>(s, level, name, one);
}

// The group on the default interface: the address any lets the system choose it.
template <typename Native>
int JoinGroupOnDefault(SocketHandle s, uint32_t group) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = group;
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    return SetOption<Native>(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, request);
}

template <typename Native>
int BindAny(SocketHandle s, uint16_t port) {
    const sockaddr_in sa = ToSockaddr(htonl(INADDR_ANY), port);
    return bind(static_cast<Native>(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : -1;
}

template <typename Native>
int SendTo(SocketHandle s, const uint8_t* buffer, int len, const SocketAddress& to, int flags) {
    const sockaddr_in sa = ToSockaddr(to.address, to.port);
    const auto n = sendto(static_cast<Native>(s), reinterpret_cast<const char*>(buffer),
                          static_cast<size_t>(len), flags, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n < 0 ? -1 : static_cast<int>(n);
}
