// Zelkor's responder as the service runs it: the real listener thread, console logging off, on the
// real clock (it only answers requests; nothing here steps or slews). Runs until killed.

#include "net/Socket.h"
#include "sync/Sntp.h"

int main() {
    Net().Startup();
    return static_cast<int>(ListenerThread(nullptr));
}
