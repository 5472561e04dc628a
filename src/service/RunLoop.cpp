#include "service/RunLoop.h"

#include "net/Socket.h"
#include "service/Thread.h"
#include "sync/Config.h"
#include "sync/Log.h"
#include "sync/Sntp.h"

void RunTimeSync() {
    SocketApi& net = Net();
    // Version 1.1 where the platform asks; a failure is only logged, the worker then fails its set-up.
    const int startup = net.Startup();
    if (startup != 0) LogMessage("Winsock startup error %d", startup);
    const bool serverMode = ReadServerMode() != 0;
    InstallWorkerGate(&PlatformWorkerGate());
    WorkerThread worker = StartWorker(serverMode ? BroadcasterThread : ListenerThread);
    LogMessage(serverMode ? "Sending time broadcasts" : "Listening for time broadcasts");
    WaitForStopEvent();
    TerminateWorker(worker);
    net.Cleanup();
}
