// "add" and "remove" through the service control manager.

#include <windows.h>
// sddl.h and aclapi.h need what windows.h defines first.
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <initializer_list>

#include "service/ErrorText.h"
#include "service/Installer.h"
#include "service/ServiceControl.h"

namespace {

constexpr int kPathSize = 512;

// Full control for SYSTEM and Administrators; query and interrogate only for authenticated users, so that
// no signed-in user can stop time synchronisation. A null DACL would let any local user point the
// LocalSystem service at another program.
constexpr const char* kServiceAccess =
    "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLORC;;;AU)";

// Rights on a file or folder that let their holder put another program in the service's place.
constexpr DWORD kReplaceRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                 WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Who counts as an ordinary user: everyone, the signed-in, the local users and guests.
constexpr WELL_KNOWN_SID_TYPE kOrdinaryUsers[] = {WinWorldSid,         WinAuthenticatedUserSid,
                                                  WinBuiltinUsersSid,  WinInteractiveSid,
                                                  WinBuiltinGuestsSid, WinAnonymousSid};
constexpr DWORD kDomainUsersRid = 513;

bool IsOrdinaryUser(PSID sid) {
    for (const WELL_KNOWN_SID_TYPE type : kOrdinaryUsers) {
        BYTE known[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof known;
        if (CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known)) return true;
    }
    // A domain's "Domain Users": S-1-5-21-...-513.
    const PUCHAR count = GetSidSubAuthorityCount(sid);
    return *count >= 2 && *GetSidSubAuthority(sid, 0) == SECURITY_NT_NON_UNIQUE &&
           *GetSidSubAuthority(sid, *count - 1) == kDomainUsersRid;
}

// Whether the access list lets ordinary users replace or change the object; a null list lets anyone.
bool OrdinaryUsersMayWrite(PACL dacl) {
    if (dacl == nullptr) return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) continue;
        const auto* header = static_cast<ACE_HEADER*>(entry);
        // Entries only passed on to what is created inside do not apply to the object itself.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kReplaceRights) && IsOrdinaryUser(&allowed->SidStart)) return true;
    }
    return false;
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

    // The program and its folder: whoever may write either may run a program of theirs as LocalSystem.
    bool CheckProgram(const char* path) override {
        char folder[kPathSize];
        std::strncpy(folder, path, sizeof folder - 1);
        folder[sizeof folder - 1] = '\0';
        char* last = std::strrchr(folder, '\\');
        if (last != nullptr) *last = '\0';
        for (const char* object : {static_cast<const char*>(folder), path}) {
            PACL dacl = nullptr;
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            const DWORD error = GetNamedSecurityInfoA(object, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                                      nullptr, nullptr, &dacl, nullptr, &descriptor);
            if (error != ERROR_SUCCESS) return Failed(error);
            const bool open = OrdinaryUsersMayWrite(dacl);
            LocalFree(descriptor);
            if (open) return Failed(kErrorProgramWritable);
        }
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
