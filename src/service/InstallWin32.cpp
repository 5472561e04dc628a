// "add" and "remove" through the service control manager.

#include <windows.h>
// sddl.h and aclapi.h need what windows.h defines first.
#include <aclapi.h>
#include <sddl.h>

#include <string>

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
constexpr const char* kTrustedInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Who may own or change what the service runs: SYSTEM, Administrators, TrustedInstaller and the
// administrator running "add" itself. Anyone else could run a program of theirs as LocalSystem.
class TrustedAccounts {
  public:
    TrustedAccounts() {
        DWORD size = sizeof system_;
        haveSystem_ = CreateWellKnownSid(WinLocalSystemSid, nullptr, system_, &size);
        size = sizeof administrators_;
        haveAdministrators_ =
            CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators_, &size);
        ConvertStringSidToSidA(kTrustedInstaller, &installer_);
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD length = 0;
            if (GetTokenInformation(token, TokenUser, user_, sizeof user_, &length)) haveUser_ = true;
            CloseHandle(token);
        }
    }
    ~TrustedAccounts() { LocalFree(installer_); }
    TrustedAccounts(const TrustedAccounts&) = delete;
    TrustedAccounts& operator=(const TrustedAccounts&) = delete;

    bool Trusted(PSID sid) {
        return (haveSystem_ && EqualSid(sid, system_)) ||
               (haveAdministrators_ && EqualSid(sid, administrators_)) ||
               (installer_ != nullptr && EqualSid(sid, installer_)) ||
               (haveUser_ && EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(user_)->User.Sid));
    }

  private:
    BYTE system_[SECURITY_MAX_SID_SIZE];
    BYTE administrators_[SECURITY_MAX_SID_SIZE];
    alignas(TOKEN_USER) BYTE user_[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    PSID installer_ = nullptr;
    bool haveSystem_ = false, haveAdministrators_ = false, haveUser_ = false;
};

// Whether anyone but the trusted may change the object: as its owner, or through its access list (a null
// list lets anyone). Entries only passed on to what is created inside do not apply to the object itself.
bool OthersMayChange(PSID owner, PACL dacl, TrustedAccounts& trusted) {
    if (owner == nullptr || !trusted.Trusted(owner) || dacl == nullptr) return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) continue;
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & kReplaceRights) && !trusted.Trusted(&allowed->SidStart)) return true;
    }
    return false;
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
        TrustedAccounts trusted;
        std::string at = path;
        const size_t root = RootEnd(at);
        if (root == std::string::npos) return Failed(ERROR_BAD_PATHNAME);
        for (;;) {
            PSID owner = nullptr;
            PACL dacl = nullptr;
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            const DWORD error = GetNamedSecurityInfoA(at.c_str(), SE_FILE_OBJECT,
                                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                      &owner, nullptr, &dacl, nullptr, &descriptor);
            if (error != ERROR_SUCCESS) return Failed(error);
            const bool open = OthersMayChange(owner, dacl, trusted);
            LocalFree(descriptor);
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
