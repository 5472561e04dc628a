#pragma once

#include <cstdint>

#include "net/Socket.h"

// Server mode: the local clock broadcast to the subnet every kBroadcastIntervalMs. The service's worker
// thread keeps the interval; this does each broadcast.

constexpr uint32_t kBroadcastIntervalMs = 64000;

// The broadcaster's set-up (socket, address reuse, broadcast); false, logged, on failure.
bool OpenBroadcastSocket(SocketHandle& s);
// The broadcaster's start: the status begun, its socket, and with BroadcastKey the socket its clients'
// signed polls come to (else answers is kInvalidSocket); false, logged, when a socket cannot be set up.
bool StartBroadcaster(SocketHandle& s, SocketHandle& answers);
// 255.255.255.255 at the NTP port of the services database.
SocketAddress BroadcastDestination();
// One broadcast of the local clock to the destination.
void BroadcastOnce(SocketHandle s, const SocketAddress& destination);
