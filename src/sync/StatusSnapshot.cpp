// The status's view of the worker's state, gathered where that state lives, so that formatting it
// needs none of it.

#include "sync/CorrectorState.h"
#include "sync/InForce.h"
#include "sync/Precise.h"
#include "sync/Status.h"
#include "sync/SyncState.h"
#include "time/SystemClock.h"

namespace {

const char* KernelSyncName() {
    if (!settings.rtcSync) return "off";
    switch (syncState.kernelSync) {
        case KernelSync::kNothing:
            return "waiting";
        case KernelSync::kSynchronised:
            return "synchronised";
        case KernelSync::kUnsynchronised:
            return "unsynchronised";
        case KernelSync::kFailed:
            return "failed";
        case KernelSync::kNotKept:
            return "not-kept";
    }
    return "";
}

}  // namespace

StatusSnapshot TakeStatusSnapshot() {
    StatusSnapshot s;
    s.now = SystemClock().Now();
    s.server = syncState.lastServer;
    s.stratum = syncState.lastStratum;
    s.delayValid = syncState.delayValid != 0;
    s.fixedDelay = syncState.fixedDelay != 0;
    s.delaySeconds = syncState.delay.Seconds();
    s.delaySource = s.fixedDelay ? "configured" : s.delayValid ? "measured" : "none";
    s.delayUpdated = syncState.lastReplyTime;
    s.awaitingReply = AwaitingReply(syncState);
    bool disabled = false;
    if (!CurrentClock().GetAdjustment(s.adjustment, s.increment, disabled)) s.adjustment = s.increment = 0;
    s.corrector = correctorState;
    s.kernelSync = KernelSyncName();
    s.leap = syncState.leapNear;
    s.leapMidnight = syncState.leapMidnight;
    // "none" when a setting names nothing usable: the start is refused then, but the file says so too.
    if (settings.serversConfigured)
        s.allowedServers = settings.servers.empty() ? "none" : FormatNetworks(settings.servers);
    s.maxStepSeconds = settings.maxStepSeconds;
    if (settings.trustedConfigured)
        s.trusted = settings.trusted.empty() ? "none" : FormatKeyIds(settings.trusted);
    s.keys = FormatKeyIds(KeyIds(authentication.keys));
    s.broadcastKey = settings.broadcastKey;
    s.precise = settings.preciseTime;
    s.frequencyPpm = precise.freqPpm;
    s.fitSpreadUs = precise.fit.valid ? precise.fit.spread * 1e6 : 0;
    s.fitSamples = precise.fit.valid ? precise.fit.used : 0;
    return s;
}
