#pragma once

#include <cstdint>
#include <vector>

#include "net/Socket.h"
#include "sync/Config.h"
#include "sync/Keys.h"
#include "time/NtpTime.h"
#include "time/SntpMessage.h"

// Client mode: the listener and responder, broadcast tracking and delay measurement, the clock
// corrector. Server mode: the broadcaster. All state below is touched by the one worker thread only.

struct SyncState {
    uint32_t lastServer = 0;  // network byte order
    int32_t lastStratum = 0;
    NtpTime lastAcceptTime = NtpTime();
    NtpTime delay = NtpTime();  // seconds
    int delayValid = 0;
    int fixedDelay = 0;
    NtpTime lastReplyTime = NtpTime();
    // The one request a reply may answer (RFC 4330 section 5): its server and transmit timestamp.
    int awaitingReply = 0;
    uint32_t polledServer = 0;
    uint8_t polledTransmit[kTimestampSize] = {};
    uint32_t polledKey = 0;  // the key the request was signed with, which its reply must carry; 0: none
    NtpTime lastTransmit = NtpTime();  // of the last broadcast accepted
};

struct CorrectorState {
    int prevPositive = 1;
    double prevError = 0.0;
    int armed = 1;
    uint32_t bestGuess = 0;
    int corrected = 0;  // a step or a slew has been made since the start
};

// The administrator's defences against other broadcasters; without settings nothing is limited.
struct Safeguards {
    int serversConfigured = 0;  // broadcasts are followed only from servers (from none, if it is empty)
    std::vector<AllowedNetwork> servers;
    uint32_t maxStepSeconds = 0;  // after the first correction, a larger error is refused; 0: no limit
};

extern SyncState syncState;
extern CorrectorState correctorState;
extern Safeguards safeguards;

constexpr int kMulticastGroupOctets[4] = {224, 0, 1, 1};

// Where a worker may be ended: only while it waits, in its receive or its sleep, never while it works
// (a clock half set, a file half written). The run loop installs the platform's gate; without one the
// worker never ends.
class WorkerGate {
  public:
    virtual ~WorkerGate() = default;
    // Before a blocking receive on s: false when the worker is to end instead of receiving.
    virtual bool BeforeReceive(SocketHandle s) = 0;
    virtual void AfterReceive() = 0;
    // The broadcaster's sleep between broadcasts: false when the worker is to end.
    virtual bool Pause(uint32_t milliseconds) = 0;
};
WorkerGate& CurrentWorkerGate();
void InstallWorkerGate(WorkerGate* gate);  // null restores the one that never ends

// Thread entries; the argument is ignored. They return 1 when set-up fails, and 0 when their gate
// ends them.
uint32_t ListenerThread(void* argument);
uint32_t BroadcasterThread(void* argument);

// The listener's set-up (socket, bind, multicast join); false, logged, on failure.
bool OpenListenerSocket(SocketHandle& s);
// Datagrams taken per receive where the platform can batch; each is still handled on its own.
constexpr int kListenBatch = 32;

// One pass of the receive loop: receive what is waiting, then log, answer or hand on each by mode.
// False when the gate ended the wait instead.
bool ListenOnce(SocketHandle s);

// The broadcaster's set-up (socket, address reuse, broadcast); false, logged, on failure.
bool OpenBroadcastSocket(SocketHandle& s);
// One broadcast of the local clock to the destination.
void BroadcastOnce(SocketHandle s, const SocketAddress& destination);

void LoadConfiguredDelay();
void LoadSafeguards();  // reads Servers and MaxStep, and logs what cannot be used
bool SenderAllowed(uint32_t sender);
// mac: what follows the message's 48 bytes, when keys are loaded.
void HandleBroadcast(const SntpMessage& message, uint32_t sender, SocketHandle s, const MacResult& mac = {});
void HandleReply(const SntpMessage& message, uint32_t sender, const MacResult& mac = {});
// key: sign the request with it (null: no MAC).
void PollServer(uint32_t server, SocketHandle s, const SymmetricKey* key = nullptr);

// error: seconds, positive when the local clock is behind.
void CorrectClock(double error);
