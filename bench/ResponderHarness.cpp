// Zelkor's responder as the service runs it: the real listener thread behind the platform's gate (it
// waits in poll, as the service does, so an idle responder uses no CPU), console logging off, on the real
// clock (it only answers requests; nothing here steps or slews). Runs until killed.

#include <string>

#include "base/Platform.h"
#include "net/Socket.h"
#include "service/RunLoop.h"
#include "service/Thread.h"
#include "service/Workers.h"

int main() {
    if (!CreateStopEvent()) return static_cast<int>(kNetworkFailed);
    Platform platform;
    platform.gate = &PlatformWorkerGate();
    InstallPlatform(platform);
    Net().Startup();
    // The settings as the run loop reads them (ZELKOR_CONFIG: the keys of the bench's keys row).
    std::string refusal;
    if (!LoadSettings(refusal)) return static_cast<int>(kSettingsRefused);
    return static_cast<int>(ListenerThread(nullptr));
}
