#pragma once

#include <cstdint>

#include "net/Socket.h"

// The listener and request responder of client mode: one socket on the NTP port, joined to the multicast
// group; every datagram it receives is logged and, by its mode, answered (a request), or handed to
// broadcast tracking (a broadcast, a reply). The service's worker thread waits; this does the work.

constexpr int kMulticastGroupOctets[4] = {224, 0, 1, 1};
// Datagrams taken per receive where the platform can batch; each is still handled on its own.
constexpr int kListenBatch = 64;
// Receives that fail one after another, with no datagram between, before the listener gives up: far more
// than any passing fault (a full buffer, an ICMP error a platform reports) produces.
constexpr int kMaxReceiveFailuresInARow = 1000;

// The listener's sockets: s bound to the NTP port and joined to the group; where the platform can,
// broadcasts on a socket of their own (else kInvalidSocket), so that no flood of requests crowds them out.
// False, logged as the failure it is, when s cannot be set up.
bool OpenListenerSocket(SocketHandle& s, SocketHandle& broadcasts);
// The listener's start: the status begun, the configured delay, the sockets.
bool StartListener(SocketHandle& s, SocketHandle& broadcasts);
// Server mode with BroadcastKey: its clients confirm it with a signed poll, to port 123. Opens that port
// (no multicast group) and answers the signed requests of a batch; nothing else is answered there.
bool OpenAnswerSocket(SocketHandle& s);
// PreciseTime on a socket that answers requests: the best receive stamps the platform has (returned), and
// sends that take no IP identification.
ReceiveStamps PrepareForPreciseTime(SocketHandle s);

// The receive: waits for a datagram (or takes only what is there), takes what else is waiting (up to max),
// and stamps each with when it arrived, read once right after. error: the platform's, when count is -1.
struct Received {
    int count;
    int error;
};
Received ReceiveDatagrams(SocketHandle s, Datagram* batch, int max, bool wait);

// Logs, answers or hands on each datagram of a batch by its mode; s: the listener, which answers and polls.
// A failed receive is counted and logged; kFailedForGood (logged as the failure that ends the worker)
// once receives have failed kMaxReceiveFailuresInARow times with no datagram between.
enum class Listened { kGoOn, kFailedForGood };
Listened HandleDatagrams(SocketHandle s, const Datagram* batch, const Received& received);
// The same for the broadcaster's answer socket: only signed requests are answered.
Listened AnswerSignedRequests(SocketHandle s, const Datagram* batch, const Received& received);
// Does the pending work that is due (a status renewal, a summary for the service log, the kernel told
// the server is silent); returns the milliseconds until the next is, or -1 for none.
int DuePendingWork();
