// The Windows service: the service control dispatcher, the control handler registration and the status
// reports of the service control manager; system message texts through FormatMessageA.

#include <windows.h>

#include <cstring>

#include "service/ErrorText.h"
#include "service/Service.h"
#include "service/ServiceControl.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;

void WINAPI ControlHandlerEntry(DWORD control) {
    ServiceControlHandler(control);
}

void WINAPI ServiceMainEntry(DWORD, LPSTR*) {
    ServiceMain();
}

class ScmServiceControl final : public ServiceControlManager {
  public:
    bool RegisterControlHandler() override {
        statusHandle = RegisterServiceCtrlHandlerA(kServiceName, ControlHandlerEntry);
        return statusHandle != nullptr;
    }

    bool SetStatus(const ServiceStatusRecord& status) override {
        SERVICE_STATUS s{};
        s.dwServiceType = status.serviceType;
        s.dwCurrentState = status.currentState;
        s.dwControlsAccepted = status.controlsAccepted;
        s.dwWin32ExitCode = status.win32ExitCode;
        s.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
        s.dwCheckPoint = status.checkPoint;
        s.dwWaitHint = status.waitHint;
        return SetServiceStatus(statusHandle, &s) != 0;
    }
};

}  // namespace

ServiceControlManager& PlatformServiceControl() {
    static ScmServiceControl manager;
    return manager;
}

void RunServiceDispatch() {
    char name[] = "Zelkor";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMainEntry}, {nullptr, nullptr}};
    // Returns once the service has stopped, or at once when not started by the service control manager.
    StartServiceCtrlDispatcherA(table);
}

int SystemMessageText(uint32_t code, char* text, int size) {
    // Zelkor's own code, which the system has no text for.
    if (code == kErrorProgramWritable)
        return OwnMessageText(
            "Users other than administrators can change the program or a folder above it; install it where "
            "only administrators can write, such as C:\\Program Files\\Zelkor.",
            text, size);
    char* message = nullptr;
    // IGNORE_INSERTS: no arguments are passed, so an insert marker must never be expanded from memory.
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD n = FormatMessageA(flags, nullptr, code, 0, reinterpret_cast<LPSTR>(&message), 0, nullptr);
    int result = 0;
    if (n >= 2 && static_cast<int>(n) - 1 <= size) {
        // Every system text ends with a carriage return and line feed.
        std::memcpy(text, message, n - 2);
        text[n - 2] = '\0';
        result = static_cast<int>(n);
    }
    if (message != nullptr) LocalFree(message);
    return result;
}
