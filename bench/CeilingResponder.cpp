// The practical ceiling: the smallest batched responder there is. recvmmsg, the same reply bytes as
// Zelkor's responder (built by the same code from a clock_gettime reading), sendmmsg. Nothing else.
//
//   zelkor-ceiling [--port 123]

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "time/SntpMessage.h"

namespace {

constexpr int kBatch = 64;

NtpTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const uint32_t seconds = static_cast<uint32_t>(ts.tv_sec + kSecondsFrom1900To1970);
    return NtpTime(seconds, static_cast<uint32_t>(ts.tv_nsec / 1000000) * 4294967u);
}

}  // namespace

int main(int argc, char** argv) {
    int port = 123;
    if (argc == 3 && std::string(argv[1]) == "--port") port = std::atoi(argv[2]);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("zelkor-ceiling: bind");
        return 1;
    }
    SntpMessage in[kBatch], out[kBatch];
    sockaddr_in peers[kBatch];
    mmsghdr receive[kBatch], send[kBatch];
    iovec inIo[kBatch], outIo[kBatch];
    for (;;) {
        for (int i = 0; i < kBatch; ++i) {
            inIo[i] = {in[i].bytes, kSntpMessageSize};
            receive[i] = {};
            receive[i].msg_hdr.msg_name = &peers[i];
            receive[i].msg_hdr.msg_namelen = sizeof peers[i];
            receive[i].msg_hdr.msg_iov = &inIo[i];
            receive[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = recvmmsg(fd, receive, kBatch, MSG_WAITFORONE, nullptr);
        if (n <= 0) continue;
        int replies = 0;
        for (int i = 0; i < n; ++i) {
            if (MessageMode(in[i]) != kModeClient) continue;
            const NtpTime arrival = Now();
            BuildServerReply(in[i], arrival, Now(), out[replies]);
            outIo[replies] = {out[replies].bytes, kSntpMessageSize};
            send[replies] = {};
            send[replies].msg_hdr.msg_name = &peers[i];
            send[replies].msg_hdr.msg_namelen = sizeof peers[i];
            send[replies].msg_hdr.msg_iov = &outIo[replies];
            send[replies].msg_hdr.msg_iovlen = 1;
            ++replies;
        }
        if (replies > 0) sendmmsg(fd, send, static_cast<unsigned>(replies), 0);
    }
}
