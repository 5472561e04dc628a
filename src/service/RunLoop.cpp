#include "service/RunLoop.h"

#include <atomic>
#include <string>
#include <vector>

#include "auth/Keys.h"
#include "base/Log.h"
#include "net/Socket.h"
#include "service/Thread.h"
#include "service/Workers.h"
#include "sync/Corrector.h"
#include "sync/InForce.h"
#include "sync/Status.h"
#include "time/ClockBackend.h"

namespace {

WorkerEntry workerEntry = nullptr;
std::atomic<uint32_t> workerResult{kWorkerEnded};

// The worker's entry with its end made known: in the service a failed worker ends the run.
uint32_t RunWorker(void* argument) {
    const uint32_t result = workerEntry(argument);
    workerResult.store(result);
    if (result != kWorkerEnded && !ConsoleMode) SetStopEvent();
    return result;
}

const char* OnOff(bool on) {
    return on ? "on" : "off";
}

// The start for the service log: the version, the mode and the settings in force.
void TellStart() {
    if (!ServiceLogListens()) return;
    if (settings.serverMode != 0) {
        ServiceEvent(EventKind::kStart, Priority::kInfo, "Zelkor %s starts in server mode; BroadcastKey %s%s",
                     ZELKOR_VERSION,
                     settings.broadcastKey != 0 ? std::to_string(settings.broadcastKey).c_str() : "none",
                     settings.preciseTime ? "; PreciseTime on" : "");
        return;
    }
    const std::string delay =
        settings.fixedDelay ? "Offset " + std::to_string(settings.offsetMs) + " ms" : "delay measured";
    const std::string servers = settings.serversConfigured ? FormatNetworks(settings.servers) : "any";
    const std::string maxStep =
        settings.maxStepSeconds != 0 ? std::to_string(settings.maxStepSeconds) + " s" : "none";
    const std::string trusted = settings.trustedConfigured ? FormatKeyIds(settings.trusted) : "off";
    ServiceEvent(
        EventKind::kStart, Priority::kInfo,
        "Zelkor %s starts in client mode; %s; Servers %s; MaxStep %s; TrustedKeys %s; keys %s; RtcSync %s%s",
        ZELKOR_VERSION, delay.c_str(), servers.c_str(), maxStep.c_str(), trusted.c_str(),
        authentication.keys.empty() ? "none" : FormatKeyIds(KeyIds(authentication.keys)).c_str(),
        OnOff(settings.rtcSync), settings.preciseTime ? "; PreciseTime on" : "");
}

}  // namespace

bool LoadSettings(std::string& refusal) {
    return LoadSettingsFrom(ReadSettings(), refusal);
}

bool LoadSettingsFrom(const FoundSettings& found, std::string& refusal) {
    std::vector<SettingLine> lines;
    bool ok = JudgeSettings(found, settings, lines);
    authentication = Authentication{};
    if (!settings.keysPath.empty() && !LoadKeysFile(settings.keysPath, authentication.keys, lines))
        ok = false;
    if (found.unusable.empty() && !JudgeKeySettings(found, KeyIds(authentication.keys), settings, lines))
        ok = false;
    // A precise discipline on a clock without the calls it needs would run as the other one, unsaid.
    int64_t unixNs = 0, rawNs = 0;
    double ppm = 0;
    if (settings.preciseTime &&
        !(CurrentClock().ReadPrecise(unixNs, rawNs) && CurrentClock().GetRatePpm(ppm))) {
        lines.push_back(
            {SettingLine::kRefused,
             "PreciseTime needs the system's precise clock calls (a read in nanoseconds beside a raw "
             "clock, a rate at full resolution), which it lacks"});
        ok = false;
    }
    // The events of this run go to the service log from here on, the lines below included.
    SetServiceLogEvents(settings.serviceLog);
    refusal.clear();
    for (const SettingLine& line : lines) {
        switch (line.kind) {
            case SettingLine::kInForce:
                LogMessage("%s", line.text.c_str());
                break;
            case SettingLine::kIgnored:
                LogEvent(Priority::kWarning, "%s", line.text.c_str());
                break;
            case SettingLine::kRefused: {
                const std::string text = line.text + "; Zelkor does not start";
                LogFailure("%s", text.c_str());
                if (refusal.empty()) refusal = text;
                break;
            }
        }
    }
    if (!ok) {
        authentication = Authentication{};
        return false;
    }
    return true;
}

uint32_t RunTimeSync() {
    SocketApi& net = Net();
    // Version 1.1 where the platform asks; a failure is only logged, the worker then fails its set-up.
    const int startup = net.Startup();
    if (startup != 0) LogMessage("Winsock startup error %d", startup);
    std::string refusal;
    if (!LoadSettings(refusal)) {
        StartStatus(settings.serverMode);
        StatusFailedWith(refusal.c_str());
        net.Cleanup();
        return kSettingsRefused;
    }
    TellStart();
    const bool serverMode = settings.serverMode != 0;
    workerEntry = serverMode ? BroadcasterThread : ListenerThread;
    workerResult.store(kWorkerEnded);
    WorkerThread worker = StartWorker(RunWorker);
    LogMessage(serverMode ? "Sending time broadcasts" : "Listening for time broadcasts");
    WaitForStopEvent();
    // A worker that ended at its gate has nothing left half done: the clock's rate goes back to the one
    // that kept time (a slew under way would run on), and what the status held back is written. The
    // kernel's synchronised state is left to grow its own error bound, as chronyd leaves it: a restart
    // does not make it flap.
    if (TerminateWorker(worker) && workerResult.load() == kWorkerEnded) {
        if (!serverMode) ReleaseClock();
        FlushPendingStatus();
    }
    const uint32_t result = workerResult.load();
    if (result == kWorkerEnded) ServiceEvent(EventKind::kStop, Priority::kInfo, "Zelkor stops");
    net.Cleanup();
    return result;
}
