#pragma once

#include <cstdint>
#include <string>

#include "time/NtpTime.h"

// The socket operations the system relies on: IPv4 datagram sockets only, addresses and ports kept in
// network byte order exactly as they arrive. Failures return -1 (or kInvalidSocket) and the reason is
// read with LastError(), the platform's own error number.

using SocketHandle = intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

struct SocketAddress {
    uint32_t address;  // network byte order
    uint16_t port;     // network byte order
};

// When a datagram arrived, read once, right after the receive that brought it: by the clock that is
// corrected, and by one that never steps (for intervals).
struct Arrival {
    NtpTime local;
    int64_t monotonicMs;
    int64_t rawNs = 0;  // PreciseTime: by the raw clock, which no correction moves
};

// One datagram of a batch: its first kDatagramBytes bytes (zeros after a shorter one) and its peer. Room
// for a message with the longest MAC and more, so that a longer datagram shows as one.
constexpr int kDatagramBytes = 80;
struct Datagram {
    uint8_t bytes[kDatagramBytes];
    int length;  // bytes received, at most kDatagramBytes; a longer datagram is cut to them
    SocketAddress peer;
    // The local address the datagram came in on (network order), where the platform tells; 0 otherwise.
    // An answer sent with it leaves from that address, which is the one a multihomed host was asked on.
    uint32_t local;
    // The address it was sent to, where the platform tells (0 otherwise): a broadcast or multicast
    // address for a datagram sent to every host of the network.
    uint32_t destination;
    // How long before the receive returned it the kernel stamped its arrival (PreciseTime), in ns of the
    // machine's real-time clock; -1 when it carries no stamp.
    int64_t ageNs;
    Arrival arrival;
};

// Where a datagram's arrival time comes from (PreciseTime): the kernel's software receive stamp
// (SO_TIMESTAMPING), its older stamp (SO_TIMESTAMPNS), or a clock read right after the receive.
enum class ReceiveStamps { kRead, kSocket, kKernel };
const char* ReceiveStampsName(ReceiveStamps stamps);  // "read", "socket", "kernel"

// Whether a datagram was sent to many hosts at once: to a multicast group, to 255.255.255.255, or to a
// subnet's broadcast address (the address it was sent to is then not the local one it came in on).
bool SentToMany(const Datagram& datagram);

class SocketApi {
  public:
    virtual ~SocketApi() = default;
    virtual int Startup() = 0;  // 0, or the error number
    virtual void Cleanup() = 0;
    virtual SocketHandle Open() = 0;
    virtual int Bind(SocketHandle s, uint16_t port) = 0;        // any local address
    virtual int JoinGroup(SocketHandle s, uint32_t group) = 0;  // on the default interface
    virtual int EnableAddressReuse(SocketHandle s) = 0;
    virtual int EnableBroadcast(SocketHandle s) = 0;
    // Sends never wait where the platform can say so (Linux): a datagram the socket cannot take at once (its
    // buffer full, say with replies waiting for an address to resolve) fails with kErrorWouldBlock.
    virtual int Send(SocketHandle s, const uint8_t* buffer, int len, const SocketAddress& to) = 0;
    // Blocks for one datagram (wait), or takes only what is already there (0 when nothing is); then takes
    // whatever else is waiting, up to max (one where the platform has no batch call). A cut datagram is no
    // failure here. Returns the count, or -1. The arrival is the caller's to fill.
    virtual int ReceiveMany(SocketHandle s, Datagram* batch, int max, bool wait) = 0;
    // Sends the datagrams in order; returns how many were sent before the first failure, -1 when the
    // first failed. Without a batch call, one Send each.
    virtual int SendMany(SocketHandle s, const Datagram* batch, int count);
    // listener: bound to the NTP port and joined to the group. Where the platform can, the broadcasts
    // (mode 5, sent to many) are given a socket of their own on the same port, so that a flood of requests
    // filling the listener's queue cannot crowd them out: broadcasts receives them, listener the rest,
    // and no third socket can bind the port. 0 when done, or where the platform has no way to (broadcasts
    // then kInvalidSocket); -1 when it failed (the listener as it was).
    virtual int SplitOffBroadcasts(SocketHandle& listener, SocketHandle& broadcasts);
    // Asks for receive stamps on s, the best the platform has; returns what its datagrams will carry.
    virtual ReceiveStamps EnableReceiveStamps(SocketHandle s);
    // Sends from s leave marked not to be fragmented, where the platform can say so (PreciseTime). No SNTP
    // datagram needs fragmenting, and one that may not be needs no IP identification, which otherwise
    // costs the host a shared hash per datagram sent: that pays for the receive stamps. 0 when done.
    virtual int ForbidFragments(SocketHandle s);
    virtual int LastError() = 0;
    // The platform's text for an error number, for the service log; empty when it has none.
    virtual std::string Describe(int error);
    // The port of the services database entry "ntp"/"udp", or 0 when there is none.
    virtual uint16_t LookupNtpPort() = 0;
};

// The socket layer in force: the platform record's (a fake in tests), else the machine's own.
SocketApi& Net();
SocketApi& PlatformNet();

// The error numbers of a datagram cut to the receive buffer, and of a send the socket could not take at once.
extern const int kErrorMessageTooLong;
extern const int kErrorWouldBlock;

constexpr uint16_t kNtpPort = 123;

uint16_t HostToNet16(uint16_t value);
uint32_t HostToNet32(uint32_t value);
uint32_t NetToHost32(uint32_t value);

// The 32-bit network-order value of a.b.c.d.
uint32_t AddressFromOctets(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

// Dotted-quad text of a network-order address, written into text (at least 16 bytes).
struct AddressText {
    char text[16];
};
AddressText FormatAddress(uint32_t address);

// The NTP port from the services database, or 123, in network byte order.
uint16_t NtpServicePort();
