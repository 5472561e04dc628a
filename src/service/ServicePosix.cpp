#include <cstdio>
#include <cstdlib>

#include "service/Service.h"

void RunServiceDispatch() {
    // Only systemd starts the service; from a console there is nothing to dispatch to.
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || socket[0] == '\0') return;
}

void InstallService() {
    std::printf("Installing the service is not supported on this platform yet\n");
    std::exit(1);
}

void RemoveService() {
    std::printf("Removing the service is not supported on this platform yet\n");
    std::exit(1);
}
