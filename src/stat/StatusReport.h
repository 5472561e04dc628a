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

// Thresholds on the last offset, as monitoring-plugins' check_ntp_time takes them: seconds, as given on the
// command line; empty when not given.
struct OffsetThresholds {
    std::string warn;
    std::string crit;
};

// Each threshold given is a plain decimal number of seconds ("0.1", not "-1", ".1" or "1e-1"), and a
// warning threshold is no higher than a critical one, which would hide it.
bool UsableThresholds(const OffsetThresholds& thresholds);

// A synchronised client whose last offset is beyond a threshold (its magnitude above it) is a warning or
// critical; any other verdict stands, as it does when no threshold is given.
Verdict JudgeOffset(const StatusFileContent& content, const Verdict& verdict,
                    const OffsetThresholds& thresholds);

// Nagios performance data: "offset=0.00025s;0.1;0.5 delay=0.00041s stratum=2 broadcasts_accepted=13c ...".
std::string PerformanceData(const StatusFileContent& content, const OffsetThresholds& thresholds);

// The verdict and, for a file that could be read, the summary aligned for people, or one JSON object. With
// nagios, the verdict line carries the performance data after a "|".
std::string RenderText(const StatusFileContent* content, const Verdict& verdict, double now,
                       const OffsetThresholds* nagios = nullptr);
std::string RenderJson(const StatusFileContent* content, const Verdict& verdict);

// The status in the OpenMetrics text format, ending in "# EOF". running: whether the process that wrote the
// file still runs. Without a file only zelkor_up 0 and zelkor_status.
std::string RenderOpenMetrics(const StatusFileContent* content, const Verdict& verdict, bool running,
                              double now);
