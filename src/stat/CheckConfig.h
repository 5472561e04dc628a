#pragma once

#include <string>
#include <utility>
#include <vector>

// zelkorstat --check-config: the configuration judged exactly as the service judges it at its start (the
// files, or the registry, and the keys file), its lines printed; 0 when the service would start, 6
// (its exit status then) when it would refuse. tried: NAME=VALUE settings to judge in place of those
// found (the MSI's properties, before it writes them); "server" is the mode.
int CheckConfig(const std::vector<std::pair<std::string, std::string>>& tried);
// False, with the reason, when NAME=VALUE names no setting.
bool ParseTriedSetting(const std::string& text, std::pair<std::string, std::string>& tried,
                       std::string& problem);
