#include <cstdio>
#include <cstring>

#include "base/Log.h"
#include "service/RunLoop.h"
#include "service/Service.h"
#include "service/Thread.h"
#include "sync/Sntp.h"
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
    // Before anything reads the clock: a dry run must never touch the real one.
    InstallVirtualClockFromEnvironment();
    if (!CreateStopEvent()) return 0;
    if (argc <= 1) return RunServiceDispatch();
    const char* command = argv[1];
    if (std::strcmp(command, "add") == 0) {
        InstallService();
    } else if (std::strcmp(command, "remove") == 0) {
        RemoveService();
    } else if (std::strcmp(command, "debug") == 0) {
        ConsoleMode = 1;
        if (const char* note = VirtualClockNote()) LogMessage("%s", note);
        // The console runs until it is ended from outside, unless the settings refuse the start.
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
