#pragma once

// Hands the process to the platform's service manager; returns once the service has stopped, or at
// once, silently, when the process was not started by it. Returns the process's exit code: on Linux the
// code the service failed with (systemd then shows the unit failed), elsewhere 0.
int RunServiceDispatch();

// "add" and "remove": return on success; on failure print the error text and end the process with 1.
void InstallService();
void RemoveService();
