// zelkorstat: how a running Zelkor is doing, from its status file, for people and for monitoring.

#include <cstdio>
#include <cstring>
#include <string>

#include "stat/Process.h"
#include "stat/StatusReport.h"
#include "sync/Status.h"
#include "time/TextFile.h"
#include "time/VirtualClock.h"

namespace {

// Far more than the daemon ever writes; anything larger is not its file.
constexpr size_t kMaxStatusBytes = 65536;

constexpr const char* kUsage =
    "usage: zelkorstat [--json] [--file PATH]\n"
    "  Shows how the Zelkor time service is doing, from its status file (ZELKOR_STATUS, or the\n"
    "  platform's place). Exit status: 0 synchronised, 1 not synchronised, 2 not running or failed,\n"
    "  3 the status file cannot be read.\n";

}  // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--file") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            (void)std::fputs(kUsage, stdout);
            return kStatusOk;
        } else {
            (void)std::fputs(kUsage, stderr);
            return kStatusUnknown;
        }
    }
    if (path.empty()) path = StatusFilePath();

    std::string text;
    StatusFileContent content;
    std::string problem;
    Verdict verdict;
    bool parsed = false;
    const FileRead read = ReadTextFile(path.c_str(), kMaxStatusBytes, FileOwner::kAnyone, text);
    if (read.result == FileRead::kMissing) {
        verdict = {kStatusNotRunning, "Zelkor: not running (there is no status file " + path + ")"};
    } else if (read.result != FileRead::kRead) {
        verdict = {kStatusUnknown,
                   "Zelkor: unknown: the status file " + path + " cannot be read: " + read.reason};
    } else if (!ParseStatusFile(text, content, problem)) {
        verdict = {kStatusUnknown, "Zelkor: unknown: the status file " + path + " is malformed: " + problem};
    } else {
        parsed = true;
        const double pid = content.Number("pid");
        verdict = Judge(content, RealUnixSeconds(),
                        pid >= 1 && pid <= 4294967295.0 && ProcessRunning(static_cast<unsigned long>(pid)));
    }
    const double now = RealUnixSeconds();
    const std::string out = json ? RenderJson(parsed ? &content : nullptr, verdict)
                                 : RenderText(parsed ? &content : nullptr, verdict, now);
    (void)std::fputs(out.c_str(), stdout);
    return std::fflush(stdout) == 0 ? verdict.exitStatus : kStatusUnknown;
}
