// Test driver that runs inside the QEMU guest (as root, from /init) next to the real daemon and the real
// kernel clock. It starts "zelkornt debug" in client mode with a fixed one-way delay (Offset=1, so the
// daemon sends no polls), sends it mode-5 broadcasts on 127.0.0.1:123 with chosen errors, and measures
// what the daemon did to the guest's clock:
//   - steps: CLOCK_REALTIME against the broadcaster's time, which is kept on CLOCK_MONOTONIC_RAW (the
//     one clock that neither clock_settime nor adjtimex moves);
//   - slews: the tick and frequency adjtimex reports, and the clock's measured rate against
//     CLOCK_MONOTONIC_RAW over a window with no broadcasts;
//   - then, restarted with RtcSync=yes: the kernel's state (adjtimex status, maxerror), a leap second the
//     broadcasts announce on a 31 December, where the clock stands after midnight, and the state after
//     600 s of silence;
//   - then, restarted with PreciseTime=yes: a broadcaster whose true time runs 37.3 ppm fast of
//     CLOCK_MONOTONIC_RAW, heard every 64 s; how far CLOCK_REALTIME strays from that time, the frequency
//     adjtimex reports and the daemon's status file.
// It judges nothing itself: it prints machine-readable lines ("@@ZQ KIND key=value ...", each on a line
// of its own) on the console, and the host-side runner (test_real_clock.py) checks them against the
// values it expects. Standalone on purpose: it shares no code with the daemon. Every wait is bounded and
// an alarm ends the whole run.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int64_t kNs = 1000000000;
constexpr int64_t kDelayNs = 1000000;              // Offset=1 in the daemon's configuration: 1 ms
constexpr int64_t kUnixToNtpSeconds = 2208988800;  // 1900-01-01 to 1970-01-01
constexpr int kAlarmSeconds = 2400;                // the whole run, mostly idle; the host gives the VM more
constexpr int kHandleTimeoutMs = 8000;             // one broadcast from sending to "...received from"
constexpr int64_t kRateWindowNs = 2500000000;      // rate measurement window
constexpr int64_t kBaselineWindowNs = 2000000000;
constexpr const char* kConfigPath = "/tmp/zelkornt.ini";
constexpr int64_t kLeapMidnight = 1798761600;  // 2027-01-01 00:00:00 UTC, after a leap second inserted
constexpr int64_t kSilenceNs = 601 * kNs;      // past the daemon's 600 s rule
// PreciseTime's run. True time gains 37.3 ppm on CLOCK_MONOTONIC_RAW: no whole number of the default
// discipline's 10 ppm units, so only a rate set at full resolution follows it.
constexpr int64_t kTrueRateTenthsPpm = 373;
constexpr int64_t kPreciseStartLeadNs = 3300000000;  // true time ahead at the start: a first step
constexpr int64_t kPreciseIntervalNs = 64 * kNs;     // a broadcast server's interval
// The settle: the second broadcast gives the fit two points 64 s apart, so the frequency, and the 2.4 ms
// the first interval lost at the nominal rate go in the 16 s after it; the interval up to the third, at
// 128 s, is the first run at the fitted frequency, and the third's phase is done by 144 s. Held to the
// bound from 150 s on, for 300 s.
constexpr int64_t kPreciseSettleNs = 150 * kNs;
constexpr int64_t kPreciseHoldNs = 300 * kNs;
constexpr int64_t kPhaseDoneNs = 20 * kNs;  // after a broadcast: the daemon's 16 s phase rate has ended
constexpr const char* kStatusFolder = "/tmp/zelkor-precise";
constexpr const char* kStatusPath = "/tmp/zelkor-precise/status";

pid_t daemonPid = -1;
int daemonOut = -1;
std::string pending;  // daemon output not yet split into lines
int64_t startRawNs = 0;

int64_t Now(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNs + ts.tv_nsec;
}

double Elapsed() {
    return static_cast<double>(Now(CLOCK_MONOTONIC_RAW) - startRawNs) / 1e9;
}

void StopDaemon() {
    if (daemonPid <= 0) return;
    kill(daemonPid, SIGTERM);
    for (int i = 0; i < 50; ++i) {  // 1 s at most, then SIGKILL
        if (waitpid(daemonPid, nullptr, WNOHANG) == daemonPid) {
            daemonPid = -1;
            return;
        }
        usleep(20000);
    }
    kill(daemonPid, SIGKILL);
    waitpid(daemonPid, nullptr, 0);
    daemonPid = -1;
}

[[noreturn]] void Fail(const char* reason) {
    std::printf("\n@@ZQ FAIL t=%.3f reason=%s\n", Elapsed(), reason);
    std::fflush(stdout);
    StopDaemon();
    std::exit(2);
}

void OnAlarm(int) {
    // Only async-signal-safe calls here.
    static const char text[] = "\n@@ZQ FAIL reason=driver-alarm (the run took too long)\n";
    (void)!write(STDOUT_FILENO, text, sizeof text - 1);
    if (daemonPid > 0) kill(daemonPid, SIGKILL);
    _exit(3);
}

// One daemon line, or false after timeoutMs. Every line is echoed as "@@ZQ LOG".
bool ReadDaemonLine(const char* label, int timeoutMs, std::string& line) {
    const int64_t deadline = Now(CLOCK_MONOTONIC_RAW) + static_cast<int64_t>(timeoutMs) * 1000000;
    for (;;) {
        const size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            std::printf("\n@@ZQ LOG label=%s t=%.3f text=%s\n", label, Elapsed(), line.c_str());
            std::fflush(stdout);
            return true;
        }
        const int64_t left = deadline - Now(CLOCK_MONOTONIC_RAW);
        if (left <= 0) return false;
        pollfd p{daemonOut, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left / 1000000) + 1);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buffer[1024];
        const ssize_t n = read(daemonOut, buffer, sizeof buffer);
        if (n <= 0) Fail("daemon-output-closed (the daemon ended)");
        pending.append(buffer, static_cast<size_t>(n));
    }
}

void StartDaemon(const char* program) {
    int fds[2];
    if (pipe(fds) != 0) Fail("pipe");
    daemonPid = fork();
    if (daemonPid < 0) Fail("fork");
    if (daemonPid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        setenv("ZELKOR_CONFIG", kConfigPath, 1);
        execl(program, "zelkornt", "debug", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    daemonOut = fds[0];
}

// The daemon's output up to (and including) a line starting with prefix.
std::vector<std::string> ReadUntil(const char* label, const char* prefix, int timeoutMs) {
    std::vector<std::string> lines;
    const int64_t deadline = Now(CLOCK_MONOTONIC_RAW) + static_cast<int64_t>(timeoutMs) * 1000000;
    std::string line;
    for (;;) {
        const int64_t left = (deadline - Now(CLOCK_MONOTONIC_RAW)) / 1000000;
        if (left <= 0 || !ReadDaemonLine(label, static_cast<int>(left), line)) {
            std::printf("\n@@ZQ FAIL t=%.3f reason=no daemon line \"%s\" within %d ms (case %s)\n", Elapsed(),
                        prefix, timeoutMs, label);
            std::fflush(stdout);
            StopDaemon();
            std::exit(2);
        }
        lines.push_back(line);
        if (line.rfind(prefix, 0) == 0) return lines;
    }
}

// The daemon's output that is waiting now, without blocking longer than waitMs.
void Drain(const char* label, int waitMs) {
    std::string line;
    while (ReadDaemonLine(label, waitMs, line)) {
    }
}

timex ReadTimex() {
    timex tx{};
    if (adjtimex(&tx) == -1) Fail("adjtimex-read");
    return tx;
}

void SetTimex(long tick, long freq) {
    timex tx{};
    tx.modes = ADJ_TICK | ADJ_FREQUENCY;
    tx.tick = tick;
    tx.freq = freq;
    if (adjtimex(&tx) == -1) Fail("adjtimex-set");
}

void PrintKernel(const char* label) {
    timex tx{};
    const int state = adjtimex(&tx);
    std::printf("\n@@ZQ KERNEL label=%s t=%.3f state=%d status=%d maxerror=%ld\n", label, Elapsed(), state,
                tx.status, tx.maxerror);
    std::fflush(stdout);
}

// Waits idle (no real time under the emulator's instruction count) for ns of CLOCK_MONOTONIC_RAW.
void Idle(int64_t ns) {
    const int64_t until = Now(CLOCK_MONOTONIC_RAW) + ns;
    for (int i = 0; i < 10000 && Now(CLOCK_MONOTONIC_RAW) < until; ++i) usleep(200000);
}

void PrintAdjustment(const char* label) {
    const timex tx = ReadTimex();
    std::printf("\n@@ZQ ADJ label=%s t=%.3f tick=%ld freq=%ld\n", label, Elapsed(), tx.tick, tx.freq);
    std::fflush(stdout);
}

// A matched pair of readings: CLOCK_REALTIME and CLOCK_MONOTONIC_RAW at (nearly) the same instant. The
// best of a few tries: the one with the shortest raw interval around the realtime reading.
struct Pair {
    int64_t raw;
    int64_t real;
};

Pair ReadPair() {
    Pair best{0, 0};
    int64_t bestGap = INT64_MAX;
    for (int i = 0; i < 9; ++i) {
        const int64_t r1 = Now(CLOCK_MONOTONIC_RAW);
        const int64_t real = Now(CLOCK_REALTIME);
        const int64_t r2 = Now(CLOCK_MONOTONIC_RAW);
        if (r2 - r1 < bestGap) {
            bestGap = r2 - r1;
            best = Pair{r1 + (r2 - r1) / 2, real};
        }
    }
    return best;
}

// The broadcaster's time: CLOCK_REALTIME at the start, advanced by CLOCK_MONOTONIC_RAW, plus the steps
// the test has made the broadcaster take.
int64_t baseRealNs = 0;
int64_t baseRawNs = 0;
int64_t broadcasterShiftNs = 0;

bool broadcasterLeaps = false;  // inserts the leap second at kLeapMidnight, as its kernel would
int leapIndicator = 0;

int64_t BroadcasterTime(int64_t rawNs) {
    const int64_t t = baseRealNs + (rawNs - baseRawNs) + broadcasterShiftNs;
    return broadcasterLeaps && t >= kLeapMidnight * kNs ? t - kNs : t;
}

int sender = -1;

void SendBroadcast(int64_t transmitUnixNs) {
    uint8_t message[48] = {};
    message[0] = (0 << 6) | (4 << 3) | 5;    // no leap warning, version 4, mode 5 (broadcast)
    message[1] = 1;                          // stratum 1
    message[2] = 6;                          // poll 2^6 s
    message[3] = static_cast<uint8_t>(-20);  // precision about 1 us
    std::memcpy(message + 12, "ZQEM", 4);    // reference identifier

    message[0] |= static_cast<uint8_t>(leapIndicator << 6);
    const int64_t seconds = transmitUnixNs / kNs;
    const int64_t nanos = transmitUnixNs % kNs;
    const uint32_t ntpSeconds = static_cast<uint32_t>(seconds + kUnixToNtpSeconds);
    const uint32_t fraction = static_cast<uint32_t>((static_cast<uint64_t>(nanos) << 32) / kNs);
    for (int base : {16, 40}) {  // reference time and transmit time
        const uint32_t s = htonl(ntpSeconds);
        const uint32_t f = htonl(fraction);
        std::memcpy(message + base, &s, 4);
        std::memcpy(message + base + 4, &f, 4);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(123);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sendto(sender, message, sizeof message, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) != 48)
        Fail("sendto");
}

// Sends one broadcast and waits until the daemon has handled it.
void Handle(const char* label, int64_t transmitUnixNs, double intendedError) {
    std::printf("\n@@ZQ SEND label=%s t=%.3f intended=%.6f\n", label, Elapsed(), intendedError);
    std::fflush(stdout);
    SendBroadcast(transmitUnixNs);
    // Left alone while it handles the broadcast: reading and echoing its lines at once would take the
    // (single) CPU from it in the middle of a step.
    usleep(150000);
    (void)ReadUntil(label, "NTP Time broadcast received from", kHandleTimeoutMs);
}

// A broadcast ahead of the broadcaster's time by errorNs: the clock is to be stepped onto it (plus the
// configured delay). Prints how far from that the clock landed.
void StepCase(const char* label, int64_t errorNs) {
    const Pair before = ReadPair();
    const int64_t ahead = before.real - BroadcasterTime(before.raw);  // the clock before the step
    Handle(label, BroadcasterTime(before.raw) + errorNs, static_cast<double>(errorNs) / 1e9);
    broadcasterShiftNs += errorNs;
    const Pair after = ReadPair();
    const int64_t landed = after.real - BroadcasterTime(after.raw);
    std::printf("\n@@ZQ STEP label=%s t=%.3f before_ms=%.3f error_ms=%.3f delay_ms=%.3f\n", label, Elapsed(),
                static_cast<double>(ahead) / 1e6, static_cast<double>(landed) / 1e6,
                static_cast<double>(kDelayNs) / 1e6);
    std::fflush(stdout);
}

// A broadcast whose error, as the daemon computes it (transmit - its clock + the configured delay), is
// errorNs: the transmit time is taken from the clock the daemon reads.
void SlewCase(const char* label, int64_t errorNs) {
    const int64_t real = Now(CLOCK_REALTIME);
    Handle(label, real + errorNs - kDelayNs, static_cast<double>(errorNs) / 1e9);
}

// The clock's rate against CLOCK_MONOTONIC_RAW over a window, in ppm, with no broadcasts in it.
void RateCase(const char* label, int64_t windowNs) {
    usleep(50000);  // a change made through adjtimex takes effect at the next tick
    const Pair a = ReadPair();
    const int64_t until = a.raw + windowNs;
    for (int i = 0; i < 1000 && Now(CLOCK_MONOTONIC_RAW) < until; ++i) {
        const int64_t left = until - Now(CLOCK_MONOTONIC_RAW);
        if (left > 0) usleep(static_cast<useconds_t>(left > 100000000 ? 100000 : left / 1000 + 1));
    }
    const Pair b = ReadPair();
    const double raw = static_cast<double>(b.raw - a.raw);
    const double ppm = (static_cast<double>(b.real - a.real) - raw) / raw * 1e6;
    std::printf("\n@@ZQ RATE label=%s t=%.3f ppm=%.4f window_s=%.3f clock_vs_broadcaster_ms=%.3f\n", label,
                Elapsed(), ppm, raw / 1e9, static_cast<double>(b.real - BroadcasterTime(b.raw)) / 1e6);
    std::fflush(stdout);
    Drain(label, 0);  // the daemon says nothing unprompted; anything it did say goes to the log
}

// Sleeps until CLOCK_MONOTONIC_RAW reaches rawNs (idle: no real time under the instruction count).
void SleepUntil(int64_t rawNs) {
    for (int i = 0; i < 1000; ++i) {
        const int64_t left = rawNs - Now(CLOCK_MONOTONIC_RAW);
        if (left <= 0) return;
        usleep(static_cast<useconds_t>(left > 500000000 ? 500000 : left / 1000 + 1));
    }
}

// True time for PreciseTime's run: set at trueBaseRawNs, gaining kTrueRateTenthsPpm on the raw clock.
int64_t trueBaseNs = 0;
int64_t trueBaseRawNs = 0;

int64_t TrueTime(int64_t rawNs) {
    const int64_t elapsed = rawNs - trueBaseRawNs;
    return trueBaseNs + elapsed + elapsed * kTrueRateTenthsPpm / 10000000;
}

// One broadcast of true time. Its transmit field is read last, just before it goes, and is true time
// less the configured delay: as if it had crossed a 1 ms path, so the daemon's clock should be true time.
void PreciseHandle(const char* label) {
    const Pair at = ReadPair();
    std::printf("\n@@ZQ TRACK label=%s t=%.3f clock_vs_true_ms=%.6f\n", label, Elapsed(),
                static_cast<double>(at.real - TrueTime(at.raw)) / 1e6);
    std::fflush(stdout);
    SendBroadcast(TrueTime(Now(CLOCK_MONOTONIC_RAW)) - kDelayNs);
    usleep(150000);
    (void)ReadUntil(label, "NTP Time broadcast received from", kHandleTimeoutMs);
    Drain(label, 100);  // what it did about it
}

// The status file, one marker a line.
void PrintStatusFile(const char* label) {
    FILE* f = std::fopen(kStatusPath, "r");
    if (f == nullptr) Fail("status-file-missing");
    char line[512];
    for (int i = 0; i < 200 && std::fgets(line, sizeof line, f) != nullptr; ++i) {
        line[std::strcspn(line, "\n")] = '\0';
        std::printf("\n@@ZQ STATUS label=%s text=%s\n", label, line);
    }
    std::fclose(f);
    std::fflush(stdout);
}

// PreciseTime: a broadcast every 64 s from the start; after the settle, CLOCK_REALTIME against true time
// once a second for the hold window. Prints the worst, and the clock's rate over the window.
void PreciseRun() {
    char label[32];
    const int64_t start = Now(CLOCK_MONOTONIC_RAW);
    const int64_t holdFrom = start + kPreciseSettleNs;
    const int64_t holdTo = holdFrom + kPreciseHoldNs;
    int64_t nextBroadcast = start;
    int64_t nextSample = holdFrom;
    int64_t lastBroadcast = start;
    int broadcasts = 0;
    int samples = 0;
    int64_t worstNs = 0;
    double worstAt = 0;
    Pair first{0, 0};
    Pair last{0, 0};
    for (int i = 0; i < 4000; ++i) {
        const int64_t now = Now(CLOCK_MONOTONIC_RAW);
        if (now >= nextBroadcast && nextBroadcast < holdTo) {
            std::snprintf(label, sizeof label, "precise_%d", broadcasts++);
            lastBroadcast = now;
            PreciseHandle(label);
            nextBroadcast += kPreciseIntervalNs;
        } else if (now >= holdTo) {
            break;
        } else if (now >= nextSample) {
            const Pair p = ReadPair();
            const int64_t off = p.real - TrueTime(p.raw);
            if (samples++ == 0) first = p;
            last = p;
            if (std::llabs(off) > std::llabs(worstNs)) {
                worstNs = off;
                worstAt = Elapsed();
            }
            nextSample += kNs;
        } else {
            SleepUntil(std::min(nextBroadcast < holdTo ? nextBroadcast : holdTo, nextSample));
        }
    }
    const double raw = static_cast<double>(last.raw - first.raw);
    const double ppm = raw > 0 ? (static_cast<double>(last.real - first.real) - raw) / raw * 1e6 : 0;
    std::printf(
        "\n@@ZQ PRECISE t=%.3f set_ppm=%.1f settle_s=%.0f broadcasts=%d samples=%d window_s=%.3f "
        "max_offset_ms=%.6f worst_t=%.3f rate_ppm=%.4f\n",
        Elapsed(), static_cast<double>(kTrueRateTenthsPpm) / 10, static_cast<double>(kPreciseSettleNs) / 1e9,
        broadcasts, samples, raw / 1e9, static_cast<double>(worstNs) / 1e6, worstAt, ppm);
    std::fflush(stdout);
    // The frequency alone, once the last broadcast's phase rate has ended; the status written by then.
    SleepUntil(lastBroadcast + kPhaseDoneNs);
    Drain("precise_end", 100);
    PrintAdjustment("precise_end");
    PrintStatusFile("precise_end");
}

double Uptime() {
    FILE* f = std::fopen("/proc/uptime", "r");
    double up = -1;
    if (f != nullptr) {
        if (std::fscanf(f, "%lf", &up) != 1) up = -1;
        std::fclose(f);
    }
    return up;
}

std::string Clocksource() {
    FILE* f = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r");
    char text[64] = "?";
    if (f != nullptr) {
        if (std::fgets(text, sizeof text, f) == nullptr) std::strcpy(text, "?");
        std::fclose(f);
    }
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s /path/to/zelkornt\n", argv[0]);
        return 64;
    }
    startRawNs = Now(CLOCK_MONOTONIC_RAW);
    signal(SIGALRM, OnAlarm);
    signal(SIGPIPE, SIG_IGN);
    alarm(kAlarmSeconds);
    std::printf("\n@@ZQ START uptime_s=%.3f clocksource=%s user_hz=%ld\n", Uptime(), Clocksource().c_str(),
                sysconf(_SC_CLK_TCK));

    FILE* config = std::fopen(kConfigPath, "w");
    if (config == nullptr) Fail("config-write");
    std::fputs("[Zelkor]\nOffset=1\n", config);
    std::fclose(config);
    PrintKernel("boot");

    sender = socket(AF_INET, SOCK_DGRAM, 0);
    if (sender < 0) Fail("socket");
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sender, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) Fail("bind");

    const Pair base = ReadPair();
    baseRawNs = base.raw;
    baseRealNs = base.real;

    StartDaemon(argv[1]);
    (void)ReadUntil("start", "Listening for time broadcasts", 10000);
    Drain("start", 300);  // a failed multicast join would be logged right after

    // A first step, +2.5 s, runs the daemon's step path once: under software emulation code runs slowly the
    // first time (it is translated), which would show as lag in where the measured steps land.
    StepCase("step_warmup", 2500000000);
    PrintAdjustment("step_warmup");

    // A rate that is not the increment (A = 100032: tick 10003, 2 units of frequency), so that the step
    // putting the adjustment back to the increment shows.
    SetTimex(10003, 2 * 655360);
    PrintAdjustment("preset");

    // 1. +100 s: a step onto the broadcaster's time; the adjustment goes back to the increment.
    StepCase("step_plus100", 100 * kNs);
    PrintAdjustment("step_plus100");
    RateCase("step_plus100", kBaselineWindowNs);

    // 2. Slews: the errors the daemon sees, chosen clear of the amount's truncation boundaries.
    struct Slew {
        const char* label;
        int64_t errorNs;
    };
    const Slew slews[] = {
        {"slew_p0505", 505000000},    // +0.505: +50
        {"slew_p0305", 305000000},    // +0.305: best guess recorded, +30
        {"slew_m0105", -105000000},   // -0.105: sign change, back to the best guess
        {"slew_m0055", -55000000},    // -0.055: best guess recorded again, -5
        {"slew_m1505", -1505000000},  // -1.505: -150, below the increment
    };
    for (const Slew& s : slews) {
        SlewCase(s.label, s.errorNs);
        PrintAdjustment(s.label);
        RateCase(s.label, kRateWindowNs);
    }

    // 3. -50 s: a step back; the adjustment goes back to the increment again.
    StepCase("step_minus50", -50 * kNs);
    PrintAdjustment("step_minus50");

    // 4. A frequency set by someone else that is not a whole unit (-1.6 units): the daemon reads it back
    // rounded to the nearest unit as its best guess and slews from there.
    SetTimex(10000, -1048576);
    PrintAdjustment("foreign_preset");
    SlewCase("foreign_m0255", -255000000);
    PrintAdjustment("foreign_m0255");
    RateCase("foreign_m0255", kRateWindowNs);

    Drain("end", 200);
    PrintKernel("rtcsync_off");
    // A stop in the middle of that slew: the rate goes back to the best guess, not left where it was.
    StopDaemon();
    PrintAdjustment("stopped_in_slew");

    // 5. RtcSync=yes, with /run/systemd as where systemd runs. A first correction by a slew tells the kernel
    // and touches the file systemd-time-wait-sync waits for. Then the broadcaster's clock a quarter of an
    // hour before the midnight after 31 December, announcing the leap second it inserts there: that
    // broadcast steps the clock, the next arms the kernel.
    config = std::fopen(kConfigPath, "w");
    if (config == nullptr) Fail("config-write");
    std::fputs("[Zelkor]\nOffset=1\nRtcSync=yes\n", config);
    std::fclose(config);
    (void)mkdir("/run", 0755);
    (void)mkdir("/run/systemd", 0755);
    StartDaemon(argv[1]);
    (void)ReadUntil("rtcsync", "Listening for time broadcasts", 10000);
    Drain("rtcsync", 300);  // the worker binds a moment after it says so
    SlewCase("rtc_slew", 200000000);
    struct stat synchronised {};
    std::printf("\n@@ZQ FILE label=rtc_slew t=%.3f synchronized=%d\n", Elapsed(),
                stat("/run/systemd/timesync/synchronized", &synchronised) == 0 ? 1 : 0);
    leapIndicator = 1;
    broadcasterLeaps = true;
    StepCase("leap_eve", (kLeapMidnight - 900) * kNs - BroadcasterTime(ReadPair().raw));
    PrintKernel("rtcsync_on");
    Handle("leap_arm", BroadcasterTime(ReadPair().raw), 0);
    Idle(kNs);  // the kernel takes the bit at its next second
    PrintKernel("leap_armed");
    // Heard again before midnight, as a server broadcasting every 64 s would be: 600 s of silence would
    // have the kernel told the clock is no longer synchronised. The last 20 s before it, so that the
    // rate its slew leaves (a few units of 10 ppm) moves the clock by no more than a millisecond or two.
    Idle((kLeapMidnight - 450) * kNs - BroadcasterTime(ReadPair().raw));
    Handle("leap_kept", BroadcasterTime(ReadPair().raw), 0);
    Idle((kLeapMidnight - 20) * kNs - BroadcasterTime(ReadPair().raw));
    Handle("leap_kept_last", BroadcasterTime(ReadPair().raw), 0);
    Idle(kLeapMidnight * kNs + 3 * kNs - BroadcasterTime(ReadPair().raw));  // 23:59:40 to 00:00:02, leapt
    const Pair midnight = ReadPair();
    std::printf("\n@@ZQ LEAP t=%.3f clock_vs_broadcaster_ms=%.3f\n", Elapsed(),
                static_cast<double>(midnight.real - BroadcasterTime(midnight.raw)) / 1e6);
    PrintKernel("leap_made");
    // After midnight the announcement ends: no 1 s correction, and the kernel disarmed. Then a broadcast
    // from a server that has not made the leap yet: its second is left alone.
    leapIndicator = 0;
    Handle("after_leap", BroadcasterTime(ReadPair().raw), 0);
    Idle(kNs);
    PrintKernel("after_leap");
    Handle("late_server", BroadcasterTime(ReadPair().raw) + kNs, 1.0);
    // 6. Silent for 600 s: the kernel is told the clock is no longer synchronised.
    Idle(kSilenceNs);
    Drain("silent", 200);
    PrintKernel("silent");

    StopDaemon();

    // 7. PreciseTime=yes, its status file in a folder of root's alone. Started at the nominal rate, so the
    // frequency it settles on is its own finding.
    config = std::fopen(kConfigPath, "w");
    if (config == nullptr) Fail("config-write");
    std::fputs("[Zelkor]\nOffset=1\nPreciseTime=yes\n", config);
    std::fclose(config);
    if (mkdir(kStatusFolder, 0700) != 0 || chmod(kStatusFolder, 0700) != 0) Fail("status-folder");
    setenv("ZELKOR_STATUS", kStatusPath, 1);
    SetTimex(10000, 0);
    PrintAdjustment("precise_preset");
    StartDaemon(argv[1]);
    (void)ReadUntil("precise_start", "Listening for time broadcasts", 10000);
    Drain("precise_start", 300);
    const Pair trueBase = ReadPair();
    trueBaseRawNs = trueBase.raw;
    trueBaseNs = trueBase.real + kPreciseStartLeadNs;
    PreciseRun();

    StopDaemon();
    std::printf("\n@@ZQ DONE t=%.3f uptime_s=%.3f\n", Elapsed(), Uptime());
    return 0;
}
