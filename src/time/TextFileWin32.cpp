#include <windows.h>

#include <cstdio>

#include "time/TextFile.h"

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
    if (ok && MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0)))
        return true;
    DeleteFileA(temporary);
    return false;
}
