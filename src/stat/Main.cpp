// zelkorstat: how a running Zelkor is doing, from its status file, for people and for monitoring.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "base/TextFile.h"
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
    "usage: zelkorstat [--json] [--file PATH] [--wait [SECONDS]] [--version]\n"
    "  Shows how the Zelkor time service is doing, from its status file (ZELKOR_STATUS, or the\n"
    "  platform's place). Exit status: 0 synchronised, 1 not synchronised, 2 not running or failed,\n"
    "  3 the status file cannot be read.\n"
    "  --wait: checks once a second until Zelkor is synchronised (exit 0), for at most SECONDS\n"
    "  (0 to 86400, default 180), then exits 1.\n";

// The verdict on the status file at path; content holds it when parsed.
Verdict Look(const std::string& path, StatusFileContent& content, bool& parsed) {
    std::string text;
    std::string problem;
    parsed = false;
    const FileRead read = ReadTextFile(path.c_str(), kMaxStatusBytes, FileOwner::kAnyone, text);
    if (read.result == FileRead::kMissing)
        return {kStatusNotRunning, "Zelkor: not running (there is no status file " + path + ")"};
    if (read.result != FileRead::kRead)
        return {kStatusUnknown,
                "Zelkor: unknown: the status file " + path + " cannot be read: " + read.reason};
    if (!ParseStatusFile(text, content, problem))
        return {kStatusUnknown, "Zelkor: unknown: the status file " + path + " is malformed: " + problem};
    parsed = true;
    const double pid = content.Number("pid");
    return Judge(content, RealUnixSeconds(),
                 pid >= 1 && pid <= 4294967295.0 && ProcessRunning(static_cast<unsigned long>(pid)));
}

bool WholeSeconds(const char* text, long& seconds) {
    char* end = nullptr;
    seconds = std::strtol(text, &end, 10);
    return text[0] >= '0' && text[0] <= '9' && *end == '\0' && seconds <= kMaxWaitSeconds;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::string path;
    long waitSeconds = -1;  // -1: look once
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--file") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (std::strcmp(argv[i], "--wait") == 0) {
            waitSeconds = kDefaultWaitSeconds;
            if (i + 1 < argc && argv[i + 1][0] != '-' && !WholeSeconds(argv[++i], waitSeconds)) {
                (void)std::fputs(kUsage, stderr);
                return kStatusUnknown;
            }
        } else if (std::strcmp(argv[i], "--version") == 0) {
            (void)std::fputs("zelkorstat " ZELKOR_VERSION "\n", stdout);
            return kStatusOk;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            (void)std::fputs(kUsage, stdout);
            return kStatusOk;
        } else {
            (void)std::fputs(kUsage, stderr);
            return kStatusUnknown;
        }
    }
    if (path.empty()) path = StatusFilePath();

    StatusFileContent content;
    bool parsed = false;
    Verdict verdict = Look(path, content, parsed);
    if (waitSeconds >= 0) {
        // Timed on the monotonic clock: the one it waits for Zelkor to set may jump meanwhile.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
        for (long polls = 0; verdict.exitStatus != kStatusOk && polls < waitSeconds; ++polls) {
            if (std::chrono::steady_clock::now() >= until) break;
            std::this_thread::sleep_for(kWaitPoll);
            verdict = Look(path, content, parsed);
        }
        if (verdict.exitStatus != kStatusOk) verdict.exitStatus = kStatusNotSynchronised;
    }
    const double now = RealUnixSeconds();
    const std::string out = json ? RenderJson(parsed ? &content : nullptr, verdict)
                                 : RenderText(parsed ? &content : nullptr, verdict, now);
    (void)std::fputs(out.c_str(), stdout);
    return std::fflush(stdout) == 0 ? verdict.exitStatus : kStatusUnknown;
}
