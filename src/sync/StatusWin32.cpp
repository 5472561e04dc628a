// The status file on Windows: %ProgramData%\Zelkor\status, or the file ZELKOR_STATUS names. The folder
// lets Users read and only SYSTEM and Administrators write.

#include <windows.h>
// sddl.h and shlobj.h need what windows.h defines first.
#include <sddl.h>
#include <shlobj.h>

#include "base/TextFile.h"
#include "sync/Status.h"

namespace {

constexpr const char* kFolderAccess = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

// Held for the life of the process: the claim on the status file.
HANDLE lockHandle = INVALID_HANDLE_VALUE;
std::string lockedPath;

std::string Environment(const char* name) {
    char value[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

// The system's own answer, not the environment's: services and users may be given different ones.
std::string DefaultFolder() {
    char data[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data) != S_OK)
        return "C:\\ProgramData\\Zelkor";
    return std::string(data) + "\\Zelkor";
}

}  // namespace

std::string StatusFilePath() {
    const std::string path = Environment("ZELKOR_STATUS");
    return path.empty() ? DefaultFolder() + "\\status" : path;
}

bool PrepareStatusFolder(std::string& path, std::string& problem) {
    const size_t slash = path.find_last_of("\\/");
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    if (folder == DefaultFolder()) {
        SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA(kFolderAccess, SDDL_REVISION_1,
                                                                 &attributes.lpSecurityDescriptor, nullptr)) {
            CreateDirectoryA(folder.c_str(), &attributes);
            LocalFree(attributes.lpSecurityDescriptor);
        }
    }
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        problem = "there is no folder " + folder;
        return false;
    }
    // A folder an ordinary user made first (ProgramData lets them), or a junction, is not the service's.
    unsigned long error = 0;
    if (OthersMayChange(folder.c_str(), true, error)) {
        problem = "its folder " + folder + " may be changed by others";
        return false;
    }
    // One writer: a second instance (a console run beside the service) must not overwrite the first's.
    const std::string lock = path + ".lock";
    if (lockHandle != INVALID_HANDLE_VALUE && lockedPath != lock) {
        CloseHandle(lockHandle);
        lockHandle = INVALID_HANDLE_VALUE;
    }
    if (lockHandle == INVALID_HANDLE_VALUE) {
        lockHandle = CreateFileA(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (lockHandle == INVALID_HANDLE_VALUE) {
            problem = "another Zelkor keeps it";
            return false;
        }
        lockedPath = lock;
    }
    return true;
}

unsigned long CurrentProcessId() {
    return GetCurrentProcessId();
}
