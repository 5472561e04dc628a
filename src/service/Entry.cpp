#include <cstdio>
#include <cstring>

#include "base/Log.h"
#include "base/Platform.h"
#include "service/RunLoop.h"
#include "service/Service.h"
#include "service/ServiceControl.h"
#include "service/Thread.h"
#include "service/Workers.h"
#include "time/VirtualClock.h"

namespace {

constexpr const char* kConsoleName = "ZelkorNT";

void PrintUsage() {
    std::printf("%s add              to install the service\n", kConsoleName);
    std::printf("%s remove           to remove the service\n", kConsoleName);
    std::printf("%s debug            to run as a console application for debugging\n", kConsoleName);
}

}  // namespace

int Entry(int argc, char** argv) {
    // The platform, chosen once, before anything reads the clock: a dry run must never touch the real
    // one. Only the service's run has the service manager's log and status line.
    Platform platform;
    VirtualClock* virtualClock = VirtualClockFromEnvironment();
    platform.clock = virtualClock;
    platform.gate = &PlatformWorkerGate();
    if (argc <= 1) {
        platform.serviceLog = ServiceManagerLog;
        platform.statusLine = ServiceManagerStatus;
    }
    InstallPlatform(platform);
    if (!CreateStopEvent()) return 0;
    if (argc <= 1) return RunServiceDispatch();
    const char* command = argv[1];
    if (std::strcmp(command, "add") == 0) {
        InstallService();
    } else if (std::strcmp(command, "remove") == 0) {
        RemoveService();
    } else if (std::strcmp(command, "debug") == 0) {
        ConsoleMode = 1;
        StopOnInterrupt();
        if (virtualClock != nullptr && !virtualClock->Note().empty())
            LogMessage("%s", virtualClock->Note().c_str());
        // The console runs until it is interrupted or ended from outside, unless the settings refuse the
        // start.
        if (RunTimeSync() == kSettingsRefused) {
            (void)std::fflush(stdout);
            return 1;
        }
    } else {
        PrintUsage();
    }
    (void)std::fflush(stdout);
    return 0;
}
