#include <windows.h>

#include <cstring>

#include "stat/Process.h"

bool ProcessRunning(unsigned long pid) {
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    // A process that is there but not ours to open still runs.
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    // Windows soon gives a number out again: a process of another program is no Zelkor.
    char image[MAX_PATH];
    DWORD size = sizeof image;
    if (running && QueryFullProcessImageNameA(process, 0, image, &size)) {
        const char* name = std::strrchr(image, '\\');
        running = _stricmp(name != nullptr ? name + 1 : image, "zelkornt.exe") == 0;
    }
    CloseHandle(process);
    return running;
}
