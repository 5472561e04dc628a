#pragma once

#include <string>

// The text of zelkor.service with ExecStart the program given (quoted as systemd reads it); the same text
// a package installs for its program. False for a path no unit file can carry (control characters).
bool SystemdUnitText(const char* program, std::string& unit);
