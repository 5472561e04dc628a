// "add" and "remove" through the service control manager.

#include <windows.h>
// sddl.h needs what windows.h defines first.
#include <sddl.h>

#include "service/Installer.h"
#include "service/ServiceControl.h"

namespace {

constexpr int kPathSize = 512;

// Full control for SYSTEM and Administrators; query, start, stop and interrogate for authenticated users.
// A null DACL would let any local user point the LocalSystem service at another program.
constexpr const char* kServiceAccess =
    "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWRPWPLORC;;;AU)";

class ScmInstaller final : public ServiceInstaller {
  public:
    bool OwnPath(char* path, int size) override {
        const DWORD n = GetModuleFileNameA(nullptr, path, static_cast<DWORD>(size));
        if (n == 0) return Failed();
        // A name that fills the buffer was cut short: refuse rather than register a wrong path.
        if (n >= static_cast<DWORD>(size)) return Failed(ERROR_INSUFFICIENT_BUFFER);
        return true;
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
        return service_ != nullptr || Failed();
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

    bool Open() override {
        service_ = OpenServiceA(manager_, kServiceName, SERVICE_ALL_ACCESS);
        return service_ != nullptr || Failed();
    }

    bool Stop(uint32_t& state) override {
        if (!ControlService(service_, SERVICE_CONTROL_STOP, &status_)) return false;
        state = status_.dwCurrentState;
        return true;
    }

    bool Query(uint32_t& state) override {
        if (!QueryServiceStatus(service_, &status_)) return false;
        state = status_.dwCurrentState;
        return true;
    }

    bool Delete() override { return DeleteService(service_) || Failed(); }

    void CloseService() override {
        if (service_ != nullptr) CloseServiceHandle(service_);
        service_ = nullptr;
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

    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
    SERVICE_STATUS status_{};
    uint32_t lastError_ = 0;
};

}  // namespace

ServiceInstaller& PlatformInstaller() {
    static ScmInstaller installer;
    return installer;
}
