// The Windows service: the service control dispatcher, the control handler registration and the status
// reports of the service control manager, the Application Event Log (source Zelkor, which "add"
// registers); system message texts through FormatMessageA.

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>

#include "ZelkorMessages.h"
#include "base/Log.h"
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

// The Event ID of each kind of event that has one of its own; 0 for the others.
DWORD EventId(EventKind kind) {
    switch (kind) {
        case EventKind::kStart:
            return ZELKOR_EVENT_START;
        case EventKind::kStop:
            return ZELKOR_EVENT_STOP;
        case EventKind::kStep:
            return ZELKOR_EVENT_STEP;
        case EventKind::kRefusedStep:
            return ZELKOR_EVENT_REFUSED_STEP;
        case EventKind::kServerFollowed:
            return ZELKOR_EVENT_SERVER_FOLLOWED;
        case EventKind::kServerSilent:
            return ZELKOR_EVENT_SERVER_SILENT;
        case EventKind::kServerBack:
            return ZELKOR_EVENT_SERVER_BACK;
        case EventKind::kRefusalSummary:
            return ZELKOR_EVENT_REFUSAL_SUMMARY;
        case EventKind::kFailure:
            return ZELKOR_EVENT_FAILURE;
        case EventKind::kOther:
            break;
    }
    return 0;
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

    void Log(Priority priority, EventKind kind, const char* text) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (source_ == nullptr) source_ = RegisterEventSourceW(nullptr, L"Zelkor");
        if (source_ == nullptr) return;  // no Event Log: nowhere to say so
        WORD type = EVENTLOG_INFORMATION_TYPE;
        DWORD id = ZELKOR_EVENT_INFORMATION;
        if (priority == Priority::kError) {
            type = EVENTLOG_ERROR_TYPE;
            id = ZELKOR_EVENT_ERROR;
        } else if (priority == Priority::kWarning) {
            type = EVENTLOG_WARNING_TYPE;
            id = ZELKOR_EVENT_WARNING;
        }
        if (const DWORD kindId = EventId(kind)) id = kindId;
        // The line is ASCII or the system's code page; as UTF-16 it is the message's one insert.
        const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        if (n <= 0) return;
        std::wstring wide(static_cast<size_t>(n), L'\0');
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
        LPCWSTR strings[1] = {wide.c_str()};
        (void)ReportEventW(source_, type, 0, id, nullptr, 1, 0, strings, nullptr);
    }

  private:
    std::mutex lock_;  // the worker and the service's thread both log
    HANDLE source_ = nullptr;
};

}  // namespace

ServiceControlManager& PlatformServiceControl() {
    static ScmServiceControl manager;
    return manager;
}

int RunServiceDispatch() {
    char name[] = "Zelkor";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMainEntry}, {nullptr, nullptr}};
    // Returns once the service has stopped, or at once when not started by the service control manager.
    // A failure is the stopped report's to tell: the process itself ends with 0.
    StartServiceCtrlDispatcherA(table);
    return 0;
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
