// "add" and "remove" through the service control manager.

#include <windows.h>
// sddl.h needs what windows.h defines first.
#include <sddl.h>

#include <cstring>
#include <string>

#include "base/TextFile.h"
#include "service/ErrorText.h"
#include "service/Installer.h"
#include "service/ServiceControl.h"

namespace {

constexpr int kPathSize = 512;
constexpr const char* kEventSourceKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Zelkor";
constexpr DWORD kEventTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// Full control for SYSTEM and Administrators; query and interrogate only for authenticated users, so that
// no signed-in user can stop time synchronisation. A null DACL would let any local user point the
// LocalSystem service at another program.
constexpr const char* kServiceAccess =
    "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLORC;;;AU)";

// After the service ends without reporting a stop, it is started again a minute later, twice; a third
// failure within a day leaves it stopped for an administrator to look at.
constexpr DWORD kRestartDelayMs = 60 * 1000;
constexpr DWORD kFailureCountResetSeconds = 24 * 60 * 60;
// A process that has reported its stop only returns from the dispatcher and ends.
constexpr DWORD kProcessEndMs = 10 * 1000;

// What the Services console shows.
bool Describe(SC_HANDLE service) {
    char description[] =
        "Keeps this computer's clock in step with the SNTP time broadcasts on the local network.";
    SERVICE_DESCRIPTIONA text{description};
    return ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text) != 0;
}

bool SetRecovery(SC_HANDLE service) {
    SC_ACTION actions[] = {
        {SC_ACTION_RESTART, kRestartDelayMs}, {SC_ACTION_RESTART, kRestartDelayMs}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = kFailureCountResetSeconds;
    failure.cActions = sizeof actions / sizeof actions[0];
    failure.lpsaActions = actions;
    if (ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) == 0) return false;
    // A worker that fails stops the service with its code rather than crashing: that is a failure to
    // recover from too. Wine 8 refuses this level; there the restarts follow crashes only.
    SERVICE_FAILURE_ACTIONS_FLAG onErrorStops{TRUE};
    (void)ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrorStops);
    return true;
}

// Where a path's root ends: the backslash after "C:", or after "\\\\server\\share"; npos when it has none.
size_t RootEnd(const std::string& path) {
    if (path.size() >= 3 && path[1] == ':' && path[2] == '\\') return 2;
    if (path.compare(0, 2, "\\\\") != 0) return std::string::npos;
    const size_t server = path.find('\\', 2);
    return server == std::string::npos ? server : path.find('\\', server + 1);
}

class ScmInstaller final : public ServiceInstaller {
  public:
    bool OwnPath(char* path, int size) override {
        const DWORD n = GetModuleFileNameA(nullptr, path, static_cast<DWORD>(size));
        if (n == 0) return Failed();
        // A name that fills the buffer was cut short: refuse rather than register a wrong path.
        if (n >= static_cast<DWORD>(size)) return Failed(ERROR_INSUFFICIENT_BUFFER);
        return true;
    }

    // The program and every folder up to its drive's root: whoever may change any of them may put a
    // program of theirs in its place.
    bool CheckProgram(const char* path) override {
        std::string at = path;
        const size_t root = RootEnd(at);
        if (root == std::string::npos) return Failed(ERROR_BAD_PATHNAME);
        // In the program's own folder a new file is a threat too (a DLL the program would load).
        for (int level = 0;; ++level) {
            unsigned long error = 0;
            const bool open = OthersMayChange(at.c_str(), level <= 1, error);
            if (error != 0) return Failed(error);
            if (open) return Failed(kErrorProgramWritable);
            if (at.size() == root + 1) return true;
            const size_t slash = at.rfind('\\');
            // The root keeps its backslash: "C:" alone would name the current folder on C.
            at.resize(slash > root ? slash : root + 1);
        }
    }

    bool OpenManager() override {
        manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        return manager_ != nullptr || Failed();
    }

    bool Create(const char* path) override {
        char command[kPathSize + 2];
        if (!QuotedWhereBlank(path, command, sizeof command)) return Failed(ERROR_INSUFFICIENT_BUFFER);
        service_ = CreateServiceA(manager_, kServiceName, "Zelkor Time Synchronization", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  command, nullptr, nullptr, "Tcpip\0", nullptr, nullptr);
        if (service_ == nullptr) return Failed();
        return (Describe(service_) && SetRecovery(service_)) || Failed();
    }

    bool Protect() override {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kServiceAccess, SDDL_REVISION_1,
                                                                  &descriptor, nullptr))
            return Failed();
        const BOOL applied = SetServiceObjectSecurity(service_, DACL_SECURITY_INFORMATION, descriptor);
        const DWORD error = GetLastError();
        LocalFree(descriptor);
        return applied || Failed(error);
    }

    // The source's messages are the program's own message table, so Event Viewer shows each event's text.
    bool RegisterLogSource(const char* path) override {
        HKEY key;
        LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
        if (result != ERROR_SUCCESS) return Failed(static_cast<DWORD>(result));
        const DWORD types = kEventTypes;
        result =
            RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path),
                           static_cast<DWORD>(std::strlen(path) + 1));
        if (result == ERROR_SUCCESS)
            result = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&types), sizeof types);
        RegCloseKey(key);
        return result == ERROR_SUCCESS || Failed(static_cast<DWORD>(result));
    }

    // Gone with the service; a source that was never registered is no failure.
    void UnregisterLogSource() override { (void)RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey); }

    bool Open() override {
        service_ = OpenServiceA(manager_, kServiceName, SERVICE_ALL_ACCESS);
        return service_ != nullptr || Failed();
    }

    bool Stop(uint32_t& state) override {
        WatchProcess();
        if (!ControlService(service_, SERVICE_CONTROL_STOP, &status_)) return false;
        state = status_.dwCurrentState;
        return true;
    }

    // Stopped means its process has ended too: until then it holds its files (the status file's lock),
    // which an uninstall deletes right after "remove".
    bool Query(uint32_t& state) override {
        if (!QueryServiceStatus(service_, &status_)) return false;
        state = status_.dwCurrentState;
        if (state == SERVICE_STOPPED && process_ != nullptr) {
            (void)WaitForSingleObject(process_, kProcessEndMs);
            CloseHandle(process_);
            process_ = nullptr;
        }
        return true;
    }

    bool Delete() override { return DeleteService(service_) || Failed(); }

    void CloseService() override {
        if (service_ != nullptr) CloseServiceHandle(service_);
        service_ = nullptr;
        if (process_ != nullptr) CloseHandle(process_);
        process_ = nullptr;
    }

    void CloseManager() override {
        if (manager_ != nullptr) CloseServiceHandle(manager_);
        manager_ = nullptr;
    }

    void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
    uint32_t LastError() override { return lastError_; }

  private:
    bool Failed(DWORD error = GetLastError()) {
        lastError_ = error;
        return false;
    }

    // The running service's process, to wait for once it has stopped; none when it is not running.
    void WatchProcess() {
        if (process_ != nullptr) return;
        SERVICE_STATUS_PROCESS running{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running),
                                 sizeof running, &needed) &&
            running.dwProcessId != 0)
            process_ = OpenProcess(SYNCHRONIZE, FALSE, running.dwProcessId);
    }

    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
    HANDLE process_ = nullptr;
    SERVICE_STATUS status_{};
    uint32_t lastError_ = 0;
};

}  // namespace

ServiceInstaller& PlatformInstaller() {
    static ScmInstaller installer;
    return installer;
}
