#pragma once

#include <cstdint>

#include "net/Socket.h"

// Where a worker may be ended: only while it waits, in its receive or its sleep, never while it works
// (a clock half set, a file half written). The entry point names the platform's gate in the platform
// record; without one the worker never ends.
class WorkerGate {
  public:
    enum Wait { kReadable, kTimedOut, kEnd };
    virtual ~WorkerGate() = default;
    // Before the receives on the worker's sockets: waits for a datagram on any of them, at most timeoutMs
    // (-1: without end). kEnd when the worker is to end instead of receiving; after kReadable, ready has
    // bit i set for each socket worth a receive (one with a datagram or an error to report; all of them
    // where the gate cannot tell), and AfterReceive follows the receives.
    virtual Wait BeforeReceive(const SocketHandle* sockets, int count, int timeoutMs, unsigned& ready) = 0;
    virtual void AfterReceive() = 0;
    // The broadcaster's sleep between broadcasts: false when the worker is to end.
    virtual bool Pause(uint32_t milliseconds) = 0;
};

// The platform record's gate, or one that never ends.
WorkerGate& CurrentWorkerGate();
