#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Platform.h"
#include "service/ErrorText.h"
#include "service/Installer.h"
#include "service/Service.h"
#include "service/ServiceControl.h"

namespace {

constexpr int kPathSize = 512;
constexpr uint32_t kStopQueryIntervalMs = 1000;
constexpr int kStopRequests = 30;  // a second apart

ServiceInstaller& Installer() {
    ServiceInstaller* installer = CurrentPlatform().installer;
    return installer != nullptr ? *installer : PlatformInstaller();
}

void Print(const char* text) {
    // Shown at once: the dots are the progress of a stop.
    (void)std::fputs(text, stdout);
    (void)std::fflush(stdout);
}

[[noreturn]] void Fail() {
    // The text as it is, not a format; nothing is printed when the system has no text for the code.
    Print(ErrorText(Installer().LastError()));
    std::exit(1);  // NOLINT(concurrency-mt-unsafe): add and remove run with no other thread
}

}  // namespace

bool QuotedWhereBlank(const char* path, char* out, int size) {
    const bool blank = std::strchr(path, ' ') != nullptr;
    const int n = std::snprintf(out, static_cast<size_t>(size), blank ? "\"%s\"" : "%s", path);
    return n >= 0 && n < size;
}

void InstallService() {
    ServiceInstaller& installer = Installer();
    char path[kPathSize];
    if (!installer.OwnPath(path, kPathSize)) Fail();
    if (!installer.CheckProgram(path)) Fail();
    if (!installer.OpenManager()) Fail();
    if (!installer.Create(path)) Fail();
    if (!installer.Protect()) Fail();
    if (!installer.RegisterLogSource(path)) Fail();
    Print("Service installed\n");
    installer.CloseService();
    installer.CloseManager();
}

void RemoveService() {
    ServiceInstaller& installer = Installer();
    char line[64];
    if (!installer.OpenManager()) Fail();
    if (!installer.Open()) Fail();
    uint32_t state = 0;
    bool stopping = installer.Stop(state);
    // A service still starting accepts no stop yet: asked again while it runs, so that it is not deleted
    // running, to run on after "removed" until the system restarts.
    for (int asked = 1; !stopping && asked < kStopRequests; ++asked) {
        if (!installer.Query(state) || state == kServiceStopped) break;
        installer.Sleep(kStopQueryIntervalMs);
        stopping = installer.Stop(state);
    }
    if (stopping) {
        (void)std::snprintf(line, sizeof line, "Stopping %s.", kServiceName);
        Print(line);
        // No limit: as long as the service says it is stopping, it is given the time.
        for (;;) {
            installer.Sleep(kStopQueryIntervalMs);
            if (!installer.Query(state) || state != kServiceStopPending) break;
            Print(".");
        }
        (void)std::snprintf(line, sizeof line,
                            state == kServiceStopped ? "\n%s stopped.\n" : "\n%s failed to stop.\n",
                            kServiceName);
        Print(line);
    }
    if (!installer.Delete()) Fail();
    installer.UnregisterLogSource();
    (void)std::snprintf(line, sizeof line, "%s removed.\n", kServiceName);
    Print(line);
    installer.CloseService();
    installer.CloseManager();
}
