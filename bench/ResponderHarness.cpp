// Zelkor's responder as the service runs it: the real listener thread, console logging off, on the
// real clock (it only answers requests; nothing here steps or slews). Runs until killed.

#include <string>

#include "net/Socket.h"
#include "service/RunLoop.h"
#include "service/Workers.h"

int main() {
    Net().Startup();
    // The settings as the run loop reads them (ZELKOR_CONFIG: the keys of the bench's keys row).
    std::string refusal;
    if (!LoadSettings(refusal)) return static_cast<int>(kSettingsRefused);
    return static_cast<int>(ListenerThread(nullptr));
}
