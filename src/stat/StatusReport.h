#pragma once

#include <string>
#include <utility>
#include <vector>

// zelkorstat's part: what a status file says, and its verdict in the convention of monitoring plugins
// (Nagios, Icinga): 0 OK, 1 warning, 2 critical, 3 unknown.

constexpr int kStatusOk = 0;
constexpr int kStatusNotSynchronised = 1;
constexpr int kStatusNotRunning = 2;
constexpr int kStatusUnknown = 3;

// A broadcast accepted this recently means synchronised; a server-mode broadcast sent this recently
// (two intervals and a little) means broadcasting.
constexpr double kSynchronisedSeconds = 600;
constexpr double kBroadcastingSeconds = 130;

struct StatusFileContent {
    std::vector<std::pair<std::string, std::string>> entries;  // in the file's order

    const std::string& Text(const char* key) const;  // empty when absent
    double Number(const char* key) const;            // 0 when absent
};

// False, with the reason, unless the text is a status file of version 1 with every promised key and a
// number wherever one is due.
bool ParseStatusFile(const std::string& text, StatusFileContent& content, std::string& problem);

struct Verdict {
    int exitStatus = kStatusUnknown;
    std::string line;  // "Zelkor: synchronised to 10.1.2.3", ...
};

// now: Unix seconds; running: whether the process that wrote the file still runs.
Verdict Judge(const StatusFileContent& content, double now, bool running);

// The verdict and, for a file that could be read, the summary aligned for people, or one JSON object.
std::string RenderText(const StatusFileContent* content, const Verdict& verdict, double now);
std::string RenderJson(const StatusFileContent* content, const Verdict& verdict);
