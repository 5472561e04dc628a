// zelkorstat: how a running Zelkor is doing, from its status file, for people and for monitoring.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/TextFile.h"
#include "stat/CheckConfig.h"
#include "stat/Process.h"
#include "stat/StatusReport.h"
#include "sync/Status.h"
#include "time/SystemClock.h"

namespace {

// Far more than the daemon ever writes; anything larger is not its file.
constexpr size_t kMaxStatusBytes = 65536;

// --wait: three minutes, time enough for a broadcast 64 s after the start and for one lost after it; the
// status file is renewed at most once a second, and read as often.
constexpr long kDefaultWaitSeconds = 180;
constexpr long kMaxWaitSeconds = 86400;
constexpr auto kWaitPoll = std::chrono::seconds(1);

constexpr const char* kUsage =
    "usage: zelkorstat [--json | --openmetrics] [--warn SECONDS] [--crit SECONDS] [--file PATH]\n"
    "                  [--wait [SECONDS]] [--version]\n"
    "       zelkorstat --check-config [--set NAME=VALUE]...\n"
    "  Shows how the Zelkor time service is doing, from its status file (ZELKOR_STATUS, or the\n"
    "  platform's place). Exit status: 0 synchronised, 1 not synchronised, 2 not running or failed,\n"
    "  3 the status file cannot be read.\n"
    "  --warn, --crit: a last offset larger than SECONDS (a decimal number) is a warning (exit 1) or\n"
    "  critical (exit 2), and the verdict carries Nagios performance data after a \"|\".\n"
    "  --openmetrics: the status in the OpenMetrics text format, for Prometheus.\n"
    "  --wait: checks once a second until Zelkor is synchronised (exit 0), for at most SECONDS\n"
    "  (0 to 86400, default 180), then exits 1.\n"
    "  --check-config: judges the configuration as the service would at its start, prints what would be\n"
    "  in force or why it would refuse, and exits 0, or 6 when the service would not start; --set judges\n"
    "  NAME=VALUE in place of the value found.\n";

struct Reading {
    StatusFileContent content;
    bool parsed = false;
    bool running = false;  // the process that wrote the file
    Verdict verdict;
};

// The verdict on the status file at path, thresholds on the offset included.
Reading Look(const std::string& path, const OffsetThresholds& thresholds) {
    Reading r;
    std::string text;
    std::string problem;
    const FileRead read = ReadTextFile(path.c_str(), kMaxStatusBytes, FileOwner::kAnyone, text);
    if (read.result == FileRead::kMissing) {
        r.verdict = {kStatusNotRunning, "Zelkor: not running (there is no status file " + path + ")"};
    } else if (read.result != FileRead::kRead) {
        r.verdict = {kStatusUnknown,
                     "Zelkor: unknown: the status file " + path + " cannot be read: " + read.reason};
    } else if (!ParseStatusFile(text, r.content, problem)) {
        r.verdict = {kStatusUnknown,
                     "Zelkor: unknown: the status file " + path + " is malformed: " + problem};
    } else {
        r.parsed = true;
        const double pid = r.content.Number("pid");
        r.running = pid >= 1 && pid <= 4294967295.0 && ProcessRunning(static_cast<unsigned long>(pid));
        r.verdict = JudgeOffset(r.content, Judge(r.content, RealUnixSeconds(), r.running), thresholds);
    }
    return r;
}

bool WholeSeconds(const char* text, long& seconds) {
    char* end = nullptr;
    seconds = std::strtol(text, &end, 10);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && seconds <= kMaxWaitSeconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--check-config") == 0) {
        std::vector<std::pair<std::string, std::string>> tried;
        for (int i = 2; i < argc; ++i) {
            std::pair<std::string, std::string> setting;
            std::string problem;
            if (std::strcmp(argv[i], "--set") != 0 || i + 1 >= argc ||
                !ParseTriedSetting(argv[++i], setting, problem)) {
                if (!problem.empty()) (void)std::fprintf(stderr, "zelkorstat: --set %s\n", problem.c_str());
                (void)std::fputs(kUsage, stderr);
                return kStatusUnknown;
            }
            tried.push_back(setting);
        }
        return CheckConfig(tried);
    }
    bool json = false;
    bool openMetrics = false;
    OffsetThresholds thresholds;
    std::string path;
    long waitSeconds = -1;  // -1: look once
    bool usable = true;
    for (int i = 1; i < argc && usable; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--openmetrics") == 0) {
            openMetrics = true;
        } else if (std::strcmp(argv[i], "--warn") == 0 && i + 1 < argc) {
            thresholds.warn = argv[++i];
        } else if (std::strcmp(argv[i], "--crit") == 0 && i + 1 < argc) {
            thresholds.crit = argv[++i];
        } else if (std::strcmp(argv[i], "--file") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (std::strcmp(argv[i], "--wait") == 0) {
            waitSeconds = kDefaultWaitSeconds;
            if (i + 1 < argc && argv[i + 1][0] != '-') usable = WholeSeconds(argv[++i], waitSeconds);
        } else if (std::strcmp(argv[i], "--version") == 0) {
            (void)std::fputs("zelkorstat " ZELKOR_VERSION "\n", stdout);
            return kStatusOk;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            (void)std::fputs(kUsage, stdout);
            return kStatusOk;
        } else {
            usable = false;
        }
    }
    if (!usable || (json && openMetrics) || !UsableThresholds(thresholds)) {
        (void)std::fputs(kUsage, stderr);
        return kStatusUnknown;
    }
    if (path.empty()) path = StatusFilePath();

    Reading r = Look(path, thresholds);
    if (waitSeconds >= 0) {
        // Timed on the monotonic clock: the one it waits for Zelkor to set may jump meanwhile.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
        for (long polls = 0; r.verdict.exitStatus != kStatusOk && polls < waitSeconds; ++polls) {
            if (std::chrono::steady_clock::now() >= until) break;
            std::this_thread::sleep_for(kWaitPoll);
            r = Look(path, thresholds);
        }
        if (r.verdict.exitStatus != kStatusOk) r.verdict.exitStatus = kStatusNotSynchronised;
    }
    const double now = RealUnixSeconds();
    const StatusFileContent* content = r.parsed ? &r.content : nullptr;
    const bool nagios = !thresholds.warn.empty() || !thresholds.crit.empty();
    const std::string out = json ? RenderJson(content, r.verdict)
                            : openMetrics
                                ? RenderOpenMetrics(content, r.verdict, r.running, now)
                                : RenderText(content, r.verdict, now, nagios ? &thresholds : nullptr);
    (void)std::fputs(out.c_str(), stdout);
    return std::fflush(stdout) == 0 ? r.verdict.exitStatus : kStatusUnknown;
}
