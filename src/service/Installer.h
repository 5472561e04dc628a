#pragma once

#include <cstdint>

// The service manager's side of "add" and "remove": every operation reports failure through its
// result, with the reason in LastError().
class ServiceInstaller {
  public:
    virtual ~ServiceInstaller() = default;
    virtual bool OwnPath(char* path, int size) = 0;  // the running executable's full file name
    // The service runs the program with every privilege: no ordinary user may be able to replace it, and
    // the service must be able to see it.
    virtual bool CheckProgram(const char* path) = 0;
    virtual bool OpenManager() = 0;
    virtual bool Create(const char* path) = 0;
    virtual bool Protect() = 0;  // the access control of the new service
    // The platform's log of services learns the service's messages (the Event Log's source); nothing to do
    // where the log needs no registration (the journal).
    virtual bool RegisterLogSource(const char* path) = 0;
    virtual void UnregisterLogSource() = 0;
    virtual bool Open() = 0;
    virtual bool Stop(uint32_t& state) = 0;   // false: refused (for example, not running)
    virtual bool Query(uint32_t& state) = 0;  // state is left as it was when the query fails
    virtual bool Delete() = 0;
    virtual void CloseService() = 0;
    virtual void CloseManager() = 0;
    virtual void Sleep(uint32_t milliseconds) = 0;
    virtual uint32_t LastError() = 0;
};

// The program's path as a service command line: in quotes when it holds a blank, or the service
// manager would try "C:\Program.exe" first. False when out (size bytes) cannot hold it.
bool QuotedWhereBlank(const char* path, char* out, int size);

// The machine's own; the platform record names another in tests.
ServiceInstaller& PlatformInstaller();
