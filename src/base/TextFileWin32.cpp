#include <windows.h>
// sddl.h and aclapi.h need what windows.h defines first.
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "base/TextFile.h"

namespace {

// Rights on a file or folder that let their holder replace it, or what it holds.
constexpr DWORD kReplaceRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                 WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr const char* kTrustedInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Who may own or change what the service runs or writes: SYSTEM, Administrators, TrustedInstaller and the
// account running this process itself (the administrator running "add", or the service's own).
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
bool UntrustedMayChange(PSID owner, PACL dacl, DWORD rights, TrustedAccounts& trusted) {
    if (owner == nullptr || !trusted.Trusted(owner) || dacl == nullptr) return true;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry)) continue;
        const auto* header = static_cast<ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if ((allowed->Mask & rights) && !trusted.Trusted(&allowed->SidStart)) return true;
    }
    return false;
}

}  // namespace

bool OthersMayChange(const char* path, bool newEntriesCount, unsigned long& error) {
    error = 0;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = GetLastError();
        return true;
    }
    // A link or junction leads wherever its maker wants.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD result =
        GetNamedSecurityInfoA(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        error = result;
        return true;
    }
    TrustedAccounts trusted;
    // Windows gives Authenticated Users the right to add folders to C:\ itself.
    const DWORD rights =
        newEntriesCount ? kReplaceRights : kReplaceRights & ~(FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY);
    const bool open = UntrustedMayChange(owner, dacl, rights, trusted);
    LocalFree(descriptor);
    return open;
}

FileRead ReadTextFile(const char* path, size_t maxBytes, FileOwner owner, std::string& text) {
    const bool own = owner == FileOwner::kThisUser;
    // FILE_FLAG_OPEN_REPARSE_POINT: a link at the path is opened as itself, and refused below.
    const HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, own ? FILE_FLAG_OPEN_REPARSE_POINT : 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return {FileRead::kMissing, nullptr, 0};
        return {FileRead::kFailed, "it cannot be opened", static_cast<int>(error)};
    }
    FileRead result{FileRead::kRead, nullptr, 0};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) {
        result = {FileRead::kFailed, "it cannot be examined", static_cast<int>(GetLastError())};
    } else if (own && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        result = {FileRead::kRefused, "it is a symbolic link", 0};
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(file) != FILE_TYPE_DISK) {
        result = {FileRead::kRefused, "it is not a regular file", 0};
    } else {
        text.clear();
        char buffer[4096];
        DWORD n = 0;
        for (;;) {
            if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
                result = {FileRead::kFailed, "it cannot be read", static_cast<int>(GetLastError())};
                break;
            }
            if (n == 0) break;
            text.append(buffer, n);
            if (text.size() > maxBytes) {
                result = {FileRead::kRefused, "it is too large", 0};
                break;
            }
        }
    }
    CloseHandle(file);
    return result;
}

// The file takes the access list its folder passes on; readableByAll is the folder's to grant.
bool WriteFileAtomically(const char* path, const std::string& text, bool, bool durable) {
    static unsigned counter = 0;
    char temporary[MAX_PATH + 48];
    HANDLE file = INVALID_HANDLE_VALUE;
    // CREATE_NEW: made here and now, never something planted at the name; a name taken is tried anew.
    for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
        const int n = std::snprintf(temporary, sizeof temporary, "%s.%lu-%lu-%u.tmp", path,
                                    GetCurrentProcessId(), GetTickCount(), ++counter);
        if (n < 0 || n >= static_cast<int>(sizeof temporary)) return false;
        file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size() && (!durable || FlushFileBuffers(file));
    if (!CloseHandle(file)) ok = false;
    if (ok &&
        MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0)))
        return true;
    DeleteFileA(temporary);
    return false;
}
