#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <linux/net_tstamp.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/Socket.h"
#include "net/SocketCommon.h"

const int kErrorMessageTooLong = EMSGSIZE;
const int kErrorWouldBlock = EAGAIN;

namespace {

constexpr int kMaxBatch = 64;
constexpr int kMaxInterfaces = 64;
constexpr size_t kControlSize = CMSG_SPACE(sizeof(in_pktinfo));
// What a receive may carry: the addresses, and a receive stamp (three timespecs with SO_TIMESTAMPING).
constexpr size_t kReceiveControlSize = kControlSize + CMSG_SPACE(3 * sizeof(timespec));

// Points one batch entry at its peer address, its one buffer and its control space.
void PointAt(mmsghdr& header, sockaddr_in& peer, iovec& io, void* control, size_t controlSize) {
    header = {};
    header.msg_hdr.msg_name = &peer;
    header.msg_hdr.msg_namelen = sizeof peer;
    header.msg_hdr.msg_iov = &io;
    header.msg_hdr.msg_iovlen = 1;
    header.msg_hdr.msg_control = control;
    header.msg_hdr.msg_controllen = controlSize;
}

int64_t Ns(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The addresses of a received datagram: the local one (for unicast the address it was sent to, for
// broadcast and multicast the address the system would answer from), and the one in its header.
// And its receive stamp, as its age at now (ns of CLOCK_REALTIME, read when the batch's first stamp is
// found: without stamps no clock is read), where one came.
void Addresses(const msghdr& header, int64_t& now, Datagram& d) {
    d.local = d.destination = 0;
    d.ageNs = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&header), c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            d.local = info.ipi_spec_dst.s_addr;
            d.destination = info.ipi_addr.s_addr;
        } else if (c->cmsg_level == SOL_SOCKET &&
                   (c->cmsg_type == SO_TIMESTAMPING || c->cmsg_type == SO_TIMESTAMPNS)) {
            // SO_TIMESTAMPING's first timespec is the software stamp, SO_TIMESTAMPNS's its only one.
            timespec stamp;
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            const int64_t at = Ns(stamp);
            if (at == 0) continue;
            if (now == 0) {
                timespec read{};
                clock_gettime(CLOCK_REALTIME, &read);
                now = Ns(read);
            }
            d.ageNs = now > at ? now - at : 0;
        }
    }
}

// A socket filter (classic BPF, run on the UDP header and what follows) that keeps the broadcasts, mode-5
// datagrams not sent to this host alone (broadcast, multicast, or looped back from it), or everything but.
// A datagram too short to have a mode is the listener's.
bool Filter(int s, bool broadcasts) {
    const uint32_t keep = 0xFFFFFFFFu, drop = 0;
    const uint32_t whenBroadcast = broadcasts ? keep : drop;
    const uint32_t otherwise = broadcasts ? drop : keep;
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 9, 0, 6),  // no mode byte: otherwise
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 8),         // the first byte of the message
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 7),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 5, 0, 4),  // not mode 5: otherwise
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_HOST, 2, 0),  // sent to this host alone: otherwise
        BPF_STMT(BPF_RET | BPF_K, whenBroadcast),
        BPF_STMT(BPF_RET | BPF_K, otherwise),
        BPF_STMT(BPF_RET | BPF_K, otherwise),
    };
    const sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return setsockopt(s, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

class PosixSockets final : public SocketApi {
  public:
    int Startup() override { return 0; }
    void Cleanup() override {}

    SocketHandle Open() override {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        return fd < 0 ? kInvalidSocket : fd;
    }

    int Bind(SocketHandle s, uint16_t port) override {
        // Each datagram then tells its local address, so answers can leave from the address asked.
        (void)SetIntOption<int>(s, IPPROTO_IP, IP_PKTINFO);
        return BindAny<int>(s, port);
    }

    // The group on every interface that is up and takes multicast, each by its index, which needs no route:
    // a LAN without a gateway has no default route to pick an interface by. Joined already is no failure
    // (the join is made again each minute, for interfaces come since). Where no interface can join, the
    // join on the default interface says why.
    int JoinGroup(SocketHandle s, uint32_t group) override {
        const int fd = static_cast<int>(s);
        ifreq interfaces[kMaxInterfaces];
        ifconf list{};
        list.ifc_len = sizeof interfaces;
        list.ifc_req = interfaces;
        int joined = 0;
        int lastIndex = 0;
        if (ioctl(fd, SIOCGIFCONF, &list) == 0) {
            const int count = list.ifc_len / static_cast<int>(sizeof(ifreq));
            for (int i = 0; i < count && i < kMaxInterfaces; ++i) {
                ifreq request = interfaces[i];
                if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) continue;
                if ((request.ifr_flags & IFF_UP) == 0 || (request.ifr_flags & IFF_MULTICAST) == 0) continue;
                request = interfaces[i];
                if (ioctl(fd, SIOCGIFINDEX, &request) != 0 || request.ifr_ifindex == lastIndex) continue;
                lastIndex = request.ifr_ifindex;  // an interface with several addresses is listed once each
                ip_mreqn membership{};
                membership.imr_multiaddr.s_addr = group;
                membership.imr_ifindex = request.ifr_ifindex;
                if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0 ||
                    errno == EADDRINUSE)
                    ++joined;
            }
        }
        if (joined > 0) return 0;
        return JoinGroupOnDefault<int>(s, group);
    }
    int EnableAddressReuse(SocketHandle s) override { return SetIntOption<int>(s, SOL_SOCKET, SO_REUSEADDR); }
    int EnableBroadcast(SocketHandle s) override { return SetIntOption<int>(s, SOL_SOCKET, SO_BROADCAST); }

    int Send(SocketHandle s, const uint8_t* buffer, int len, const SocketAddress& to) override {
        return SendTo<int>(s, buffer, len, to, MSG_DONTWAIT);
    }

    int ReceiveMany(SocketHandle s, Datagram* batch, int max, bool wait) override {
        if (max > kMaxBatch) max = kMaxBatch;
        mmsghdr headers[kMaxBatch];
        iovec io[kMaxBatch];
        sockaddr_in peers[kMaxBatch];
        alignas(cmsghdr) char control[kMaxBatch][kReceiveControlSize];
        for (int i = 0; i < max; ++i) {
            io[i] = {batch[i].bytes, kDatagramBytes};
            PointAt(headers[i], peers[i], io[i], control[i], kReceiveControlSize);
        }
        int n;
        do {
            n = recvmmsg(static_cast<int>(s), headers, static_cast<unsigned>(max),
                         wait ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && !wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        int64_t now = 0;
        for (int i = 0; i < n; ++i) {
            Datagram& d = batch[i];
            // msg_len counts the bytes received: a longer datagram shows as a full buffer.
            d.length =
                headers[i].msg_len < kDatagramBytes ? static_cast<int>(headers[i].msg_len) : kDatagramBytes;
            if (d.length < kDatagramBytes) std::memset(d.bytes + d.length, 0, kDatagramBytes - d.length);
            d.peer.address = peers[i].sin_addr.s_addr;
            d.peer.port = peers[i].sin_port;
            Addresses(headers[i].msg_hdr, now, d);
        }
        return n;
    }

    int SendMany(SocketHandle s, const Datagram* batch, int count) override {
        if (count > kMaxBatch) count = kMaxBatch;
        mmsghdr headers[kMaxBatch];
        iovec io[kMaxBatch];
        sockaddr_in peers[kMaxBatch];
        alignas(cmsghdr) char control[kMaxBatch][kControlSize];
        for (int i = 0; i < count; ++i) {
            peers[i] = ToSockaddr(batch[i].peer.address, batch[i].peer.port);
            io[i] = {const_cast<uint8_t*>(batch[i].bytes), static_cast<size_t>(batch[i].length)};
            const bool fromLocal = batch[i].local != 0;
            if (fromLocal) std::memset(control[i], 0, kControlSize);  // no stray bytes in the padding
            PointAt(headers[i], peers[i], io[i], fromLocal ? control[i] : nullptr,
                    fromLocal ? kControlSize : 0);
            if (fromLocal) {
                // Leave from the local address the request came in on; the routing picks the interface.
                cmsghdr* c = CMSG_FIRSTHDR(&headers[i].msg_hdr);
                c->cmsg_level = IPPROTO_IP;
                c->cmsg_type = IP_PKTINFO;
                c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
                in_pktinfo info{};
                info.ipi_spec_dst.s_addr = batch[i].local;
                std::memcpy(CMSG_DATA(c), &info, sizeof info);
            }
        }
        const int n = sendmmsg(static_cast<int>(s), headers, static_cast<unsigned>(count), MSG_DONTWAIT);
        return n == 0 && count > 0 ? -1 : n;
    }

    // Two sockets on the port, the kernel choosing between them. The listener, bound without address
    // reuse (a holder of the port made that fail), lets a second socket bind beside it for a moment;
    // then neither allows it, so no third can. Of two sockets bound alike the kernel gives a unicast
    // datagram to the one bound last, and a broadcast or multicast one to both: filters keep the
    // broadcasts (mode 5, not sent to this host alone) on the first and everything else on the second,
    // which becomes the listener.
    int SplitOffBroadcasts(SocketHandle& listener, SocketHandle& broadcasts) override {
        broadcasts = kInvalidSocket;
        const int first = static_cast<int>(listener);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        if (getsockname(first, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return -1;
        const int second = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (second < 0) return -1;
        // Filtered before it binds, and the first once the second takes the unicast: nothing is lost or
        // taken twice while they part.
        bool split = Filter(second, false) && SetIntOption<int>(second, IPPROTO_IP, IP_PKTINFO) == 0 &&
                     SetIntOption<int>(first, SOL_SOCKET, SO_REUSEADDR) == 0 &&
                     SetIntOption<int>(second, SOL_SOCKET, SO_REUSEADDR) == 0 &&
                     bind(second, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) == 0;
        int error = errno;
        const int off = 0;
        (void)SetOption<int>(first, SOL_SOCKET, SO_REUSEADDR, off);
        (void)SetOption<int>(second, SOL_SOCKET, SO_REUSEADDR, off);
        if (split && !Filter(first, true)) {
            split = false;
            error = errno;
        }
        if (!split) {
            close(second);
            errno = error;
            return -1;
        }
        broadcasts = first;
        listener = second;
        return 0;
    }

    ReceiveStamps EnableReceiveStamps(SocketHandle s) override {
        const int flags = SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE;
        if (SetOption<int>(s, SOL_SOCKET, SO_TIMESTAMPING, flags) == 0) return ReceiveStamps::kKernel;
        if (SetIntOption<int>(s, SOL_SOCKET, SO_TIMESTAMPNS) == 0) return ReceiveStamps::kSocket;
        return ReceiveStamps::kRead;
    }

    // DF without the path MTU: that, lowered by an ICMP datagram anyone can forge, is never consulted.
    int ForbidFragments(SocketHandle s) override {
        return SetOption<int>(s, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_PROBE);
    }

    int LastError() override { return errno; }

    std::string Describe(int error) override {
        char buffer[128];
        return strerror_r(error, buffer, sizeof buffer);  // GNU's: the text, in buffer or static
    }

    uint16_t LookupNtpPort() override {
        servent entry{};
        servent* found = nullptr;
        char storage[1024];
        if (getservbyname_r("ntp", "udp", &entry, storage, sizeof storage, &found) != 0 || found == nullptr)
            return 0;
        return static_cast<uint16_t>(found->s_port);
    }
};

}  // namespace

SocketApi& PlatformNet() {
    static PosixSockets sockets;
    return sockets;
}
