// SNTP load generator: several connected sockets, many requests in flight, batched with sendmmsg and
// recvmmsg, a hard time bound. Every reply is checked (48 bytes, mode 4, originate equal to the transmit
// field of one of our requests). Prints one line of key=value figures.
//
//   zelkor-loadgen [--target 127.0.0.1] [--port 123] [--seconds 5] [--sockets 4] [--window 128]
//   zelkor-loadgen --flood COUNT [--seed N] [--target ...] [--port ...]
//
// --flood sends COUNT datagrams of random length (0 to 1472 bytes) and random content, every mode, as fast
// as the socket takes them, and checks nothing: it is for robustness tests, not for measuring.
//
// It refuses any target but loopback, unless it runs inside a named network namespace (`ip netns add`, a
// test's own), where nothing it sends can leave the machine.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kBatch = 64;
constexpr int kRing = 1 << 16;                   // send times kept per socket, by sequence number
constexpr int64_t kLossTimeoutNs = 100'000'000;  // a request unanswered this long is lost
constexpr int kHistogramUs = 100'000;

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// True inside a namespace made with `ip netns add` (named in /run/netns): a test's own network.
bool InTestNetworkNamespace() {
    struct stat self {};
    if (stat("/proc/self/ns/net", &self) != 0) return false;
    DIR* named = opendir("/run/netns");
    if (named == nullptr) return false;
    bool found = false;
    while (const dirent* entry = readdir(named)) {
        struct stat ns {};
        const std::string path = std::string("/run/netns/") + entry->d_name;
        if (entry->d_name[0] != '.' && stat(path.c_str(), &ns) == 0 && ns.st_ino == self.st_ino &&
            ns.st_dev == self.st_dev)
            found = true;
    }
    closedir(named);
    return found;
}

struct Flow {
    int fd = -1;
    uint32_t index = 0;
    uint64_t nextSequence = 0;
    int outstanding = 0;
    int64_t lastReplyNs = 0;
    std::vector<int64_t> sentAt = std::vector<int64_t>(kRing, 0);
};

struct Totals {
    uint64_t sent = 0, received = 0, invalid = 0, lost = 0;
    std::vector<uint64_t> histogram = std::vector<uint64_t>(kHistogramUs + 1, 0);
};

// The request's transmit field carries the flow and the sequence; a server copies it into originate.
void BuildRequest(uint8_t* out, uint32_t flow, uint64_t sequence) {
    std::memset(out, 0, 48);
    out[0] = 0x23;  // version 4, mode 3
    const uint64_t tag = (static_cast<uint64_t>(flow) << 48) | (sequence & 0xFFFFFFFFFFFFULL);
    for (int i = 0; i < 8; ++i) out[40 + i] = static_cast<uint8_t>(tag >> (56 - 8 * i));
}

void SendWindow(Flow& flow, int window, Totals& totals) {
    uint8_t buffers[kBatch][48];
    mmsghdr headers[kBatch];
    iovec io[kBatch];
    while (flow.outstanding < window) {
        const int count = std::min(kBatch, window - flow.outstanding);
        const int64_t now = NowNs();
        for (int i = 0; i < count; ++i) {
            const uint64_t sequence = flow.nextSequence + static_cast<uint64_t>(i);
            BuildRequest(buffers[i], flow.index, sequence);
            flow.sentAt[sequence % kRing] = now;
            io[i] = {buffers[i], 48};
            headers[i] = {};
            headers[i].msg_hdr.msg_iov = &io[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = sendmmsg(flow.fd, headers, static_cast<unsigned>(count), MSG_DONTWAIT);
        if (n <= 0) return;
        flow.nextSequence += static_cast<uint64_t>(n);
        flow.outstanding += n;
        totals.sent += static_cast<uint64_t>(n);
    }
}

void ReceiveReplies(Flow& flow, Totals& totals) {
    uint8_t buffers[kBatch][64];
    mmsghdr headers[kBatch];
    iovec io[kBatch];
    for (;;) {
        for (int i = 0; i < kBatch; ++i) {
            io[i] = {buffers[i], sizeof buffers[i]};
            headers[i] = {};
            headers[i].msg_hdr.msg_iov = &io[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = recvmmsg(flow.fd, headers, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) return;
        const int64_t now = NowNs();
        flow.lastReplyNs = now;
        for (int i = 0; i < n; ++i) {
            const uint8_t* r = buffers[i];
            uint64_t tag = 0;
            for (int b = 0; b < 8; ++b) tag = (tag << 8) | r[24 + b];
            const uint64_t sequence = tag & 0xFFFFFFFFFFFFULL;
            const bool valid = headers[i].msg_len == 48 && (r[0] & 7) == 4 && (tag >> 48) == flow.index &&
                               sequence < flow.nextSequence && flow.nextSequence - sequence <= kRing;
            if (!valid) {
                ++totals.invalid;
                continue;
            }
            ++totals.received;
            if (flow.outstanding > 0) --flow.outstanding;
            int64_t us = (now - flow.sentAt[sequence % kRing]) / 1000;
            if (us > kHistogramUs) us = kHistogramUs;
            ++totals.histogram[static_cast<size_t>(us)];
        }
        if (n < kBatch) return;
    }
}

// xorshift64*: the same stream for the same seed, fast enough to keep the socket full.
struct Random {
    uint64_t state;
    uint64_t Next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 2685821657736338717ULL;
    }
};

int Flood(int fd, uint64_t count, uint64_t seed) {
    constexpr int kMaxPayload = 1472;
    static uint8_t buffers[kBatch][kMaxPayload];
    mmsghdr headers[kBatch];
    iovec io[kBatch];
    Random random{seed | 1};
    uint64_t sent = 0;
    const int64_t start = NowNs();
    while (sent < count) {
        const int batch = static_cast<int>(std::min<uint64_t>(kBatch, count - sent));
        for (int i = 0; i < batch; ++i) {
            const size_t length = static_cast<size_t>(random.Next() % (kMaxPayload + 1));
            for (size_t b = 0; b < length; b += 8) {
                const uint64_t word = random.Next();
                std::memcpy(buffers[i] + b, &word, std::min<size_t>(8, length - b));
            }
            io[i] = {buffers[i], length};
            headers[i] = {};
            headers[i].msg_hdr.msg_iov = &io[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = sendmmsg(fd, headers, static_cast<unsigned>(batch), 0);
        if (n < 0) {
            if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN || errno == ECONNREFUSED) continue;
            std::perror("zelkor-loadgen: flood");
            return 1;
        }
        sent += static_cast<uint64_t>(n);
    }
    const double seconds = static_cast<double>(NowNs() - start) / 1e9;
    std::printf("flood_sent=%llu seconds=%.2f per_s=%.0f\n", static_cast<unsigned long long>(sent), seconds,
                static_cast<double>(sent) / seconds);
    return 0;
}

double Percentile(const Totals& totals, double fraction) {
    const uint64_t want = static_cast<uint64_t>(static_cast<double>(totals.received) * fraction);
    uint64_t seen = 0;
    for (size_t us = 0; us < totals.histogram.size(); ++us) {
        seen += totals.histogram[us];
        if (seen > want) return static_cast<double>(us);
    }
    return static_cast<double>(kHistogramUs);
}

}  // namespace

int main(int argc, char** argv) {
    std::string target = "127.0.0.1";
    int port = 123, sockets = 4, window = 128;
    double seconds = 5.0;
    unsigned long long flood = 0, seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--target")
            target = argv[i + 1];
        else if (key == "--port")
            port = std::atoi(argv[i + 1]);
        else if (key == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (key == "--sockets")
            sockets = std::atoi(argv[i + 1]);
        else if (key == "--window")
            window = std::atoi(argv[i + 1]);
        else if (key == "--flood")
            flood = std::strtoull(argv[i + 1], nullptr, 10);
        else if (key == "--seed")
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        else {
            std::fprintf(stderr, "zelkor-loadgen: unknown option %s\n", key.c_str());
            return 2;
        }
    }
    in_addr address{};
    if (inet_pton(AF_INET, target.c_str(), &address) != 1) {
        std::fprintf(stderr, "zelkor-loadgen: not an IPv4 address: %s\n", target.c_str());
        return 2;
    }
    const bool loopback = (ntohl(address.s_addr) >> 24) == 127;
    if (!loopback && !InTestNetworkNamespace()) {
        std::fprintf(stderr, "zelkor-loadgen: %s is not loopback, and this is not a test namespace\n",
                     target.c_str());
        return 2;
    }
    if (seconds <= 0 || seconds > 60 || sockets < 1 || sockets > 64 || window < 1 || window > 4096) {
        std::fprintf(stderr, "zelkor-loadgen: seconds 0-60, sockets 1-64, window 1-4096\n");
        return 2;
    }

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr = address;
    if (flood > 0) {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            std::perror("zelkor-loadgen: socket");
            return 1;
        }
        return Flood(fd, flood, seed);
    }

    std::vector<Flow> flows(static_cast<size_t>(sockets));
    for (size_t i = 0; i < flows.size(); ++i) {
        flows[i].index = static_cast<uint32_t>(i);
        flows[i].fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int size = 4 << 20;
        setsockopt(flows[i].fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        if (flows[i].fd < 0 || connect(flows[i].fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            std::perror("zelkor-loadgen: socket");
            return 1;
        }
    }

    Totals totals;
    std::vector<pollfd> fds(flows.size());
    const int64_t start = NowNs();
    const int64_t end = start + static_cast<int64_t>(seconds * 1e9);
    for (Flow& f : flows) f.lastReplyNs = start;
    while (NowNs() < end) {
        for (Flow& f : flows) {
            ReceiveReplies(f, totals);
            // A window that stopped moving has lost its requests; start it again.
            if (f.outstanding > 0 && NowNs() - f.lastReplyNs > kLossTimeoutNs) {
                totals.lost += static_cast<uint64_t>(f.outstanding);
                f.outstanding = 0;
                f.lastReplyNs = NowNs();
            }
            SendWindow(f, window, totals);
        }
        for (size_t i = 0; i < flows.size(); ++i) fds[i] = {flows[i].fd, POLLIN, 0};
        poll(fds.data(), fds.size(), 10);
    }
    const double elapsed = static_cast<double>(NowNs() - start) / 1e9;
    // Late replies still count; what never comes is lost.
    const int64_t drainEnd = NowNs() + 200'000'000;
    while (NowNs() < drainEnd) {
        for (Flow& f : flows) ReceiveReplies(f, totals);
        usleep(1000);
    }
    uint64_t outstanding = 0;
    for (const Flow& f : flows) outstanding += static_cast<uint64_t>(f.outstanding);
    totals.lost += outstanding;

    std::printf(
        "replies_per_s=%.0f sent=%llu received=%llu lost=%llu loss_pct=%.3f invalid=%llu "
        "p50_us=%.0f p99_us=%.0f p999_us=%.0f seconds=%.2f\n",
        static_cast<double>(totals.received) / elapsed, static_cast<unsigned long long>(totals.sent),
        static_cast<unsigned long long>(totals.received), static_cast<unsigned long long>(totals.lost),
        totals.sent ? 100.0 * static_cast<double>(totals.lost) / static_cast<double>(totals.sent) : 0.0,
        static_cast<unsigned long long>(totals.invalid), Percentile(totals, 0.50), Percentile(totals, 0.99),
        Percentile(totals, 0.999), elapsed);
    return totals.invalid == 0 ? 0 : 1;
}
