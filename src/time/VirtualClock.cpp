#include "time/VirtualClock.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/TextFile.h"
#include "time/NtpTime.h"
#include "time/SystemClock.h"

namespace {

constexpr const char* kEnvironmentVariable = "ZELKOR_VIRTUAL_CLOCK";
constexpr uint32_t kFallbackIncrement = 100000;
constexpr size_t kMaxFileBytes = 65536;
constexpr size_t kMaxLineCharacters = 511;
// Far beyond any test, yet small enough that every sum and product of the clock stays finite.
constexpr double kMaxOffsetMs = 1e15;      // about 31,700 years either way
constexpr double kMaxSinceSeconds = 1e12;  // Unix seconds, about 31,700 years after 1970
constexpr double kMaxRateOffset = 0.1005;  // 10 % of tick and 500 ppm of frequency, as Linux allows
constexpr unsigned long long kSecondsPerDay = 86400;
constexpr const char* kLeapNames[] = {"none", "insert", "delete"};  // in LeapSecond's order

std::string Trim(const std::string& s) {
    const char* space = " \t\r\n";
    const size_t first = s.find_first_not_of(space);
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

bool ParseDouble(const std::string& text, double limit, double& out) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(value) || std::fabs(value) > limit)
        return false;
    out = value;
    return true;
}

bool ParseUnsigned(const std::string& text, unsigned long long limit, unsigned long long& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || value > limit) return false;
    out = value;
    return true;
}

}  // namespace

VirtualClock::VirtualClock(std::string path) : path_(std::move(path)) {
    uint32_t platformAdjustment = 0;
    bool disabled = false;
    if (!PlatformClock().GetAdjustment(platformAdjustment, defaults_.increment, disabled) ||
        defaults_.increment == 0)
        defaults_.increment = kFallbackIncrement;
    defaults_.adjustment = defaults_.increment;
    defaults_.since = RealUnixSeconds();
    state_ = defaults_;
    // Written back with every key filled in, unless it could not be used: then it is left as it is.
    if (Load()) (void)Save(state_);
}

bool VirtualClock::Load() {
    std::string text;
    const FileRead read = ReadTextFile(path_.c_str(), kMaxFileBytes, FileOwner::kThisUser, text);
    if (read.result == FileRead::kMissing) return true;
    std::string reason;
    if (read.result == FileRead::kRead) {
        if (Parse(text, reason)) return true;
    } else {
        reason = read.reason;
        if (read.error != 0) reason.append(" (").append(std::to_string(read.error)).append(")");
    }
    usable_ = false;
    note_.assign("Virtual clock file \"")
        .append(path_)
        .append("\" is unusable: ")
        .append(reason)
        .append("; the virtual clock keeps real time and refuses every change");
    return false;
}

bool VirtualClock::Parse(const std::string& text, std::string& reason) {
    if (const size_t tooLong = FirstLineLongerThan(text, kMaxLineCharacters)) {
        reason.assign("line ")
            .append(std::to_string(tooLong))
            .append(" is longer than ")
            .append(std::to_string(kMaxLineCharacters))
            .append(" characters");
        return false;
    }
    State parsed = defaults_;
    bool haveAdjustment = false;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trim(text.substr(at, end - at));
        at = end + 1;
        const size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
        const std::string key = Trim(line.substr(0, equals));
        const std::string value = Trim(line.substr(equals + 1));
        unsigned long long number = 0;
        bool ok = true;
        if (key == "offset_ms") {
            ok = ParseDouble(value, kMaxOffsetMs, parsed.offsetMs);
        } else if (key == "since") {
            ok = ParseDouble(value, kMaxSinceSeconds, parsed.since) && parsed.since >= 0;
        } else if (key == "adjustment") {
            ok = ParseUnsigned(value, UINT32_MAX, number);
            parsed.adjustment = static_cast<uint32_t>(number);
            haveAdjustment = true;
        } else if (key == "increment") {
            ok = ParseUnsigned(value, UINT32_MAX, number) && number > 0;
            parsed.increment = static_cast<uint32_t>(number);
        } else if (key == "rate_ppm") {
            ok = ParseDouble(value, kMaxRatePpm, parsed.ratePpm);
        } else if (key == "steps") {
            ok = ParseUnsigned(value, ULLONG_MAX, parsed.steps);
        } else if (key == "adjustments") {
            ok = ParseUnsigned(value, ULLONG_MAX, parsed.adjustments);
        } else if (key == "refuse_steps") {
            parsed.refuseSteps = value == "1";
        } else if (key == "synchronised") {
            parsed.synchronised = value == "1";
        } else if (key == "max_error_us" || key == "est_error_us") {
            ok = ParseUnsigned(value, UINT32_MAX, key[0] == 'm' ? parsed.maxErrorUs : parsed.estErrorUs);
        } else if (key == "leap") {
            ok = false;
            for (int i = 0; i < 3; ++i) {
                if (value == kLeapNames[i]) {
                    parsed.leap = static_cast<LeapSecond>(i);
                    ok = true;
                }
            }
        } else if (key == "leap_at") {
            ok = ParseUnsigned(value, static_cast<unsigned long long>(kMaxSinceSeconds), parsed.leapAt);
        } else {
            parsed.otherKeys.emplace_back(key, value);
        }
        if (!ok) {
            reason.assign(key).append(" \"").append(value).append("\" is not a usable value");
            return false;
        }
    }
    if (!haveAdjustment) parsed.adjustment = parsed.increment;
    state_ = parsed;
    return true;
}

bool VirtualClock::Save(const State& state) const {
    char fixed[256];
    const int n = std::snprintf(
        fixed, sizeof fixed,
        "offset_ms=%.6f\nsince=%.6f\nadjustment=%u\nincrement=%u\nsteps=%llu\nadjustments=%llu\n"
        "refuse_steps=%d\nsynchronised=%d\nmax_error_us=%llu\nest_error_us=%llu\nleap=%s\nleap_at=%llu\n",
        state.offsetMs, state.since, state.adjustment, state.increment, state.steps, state.adjustments,
        state.refuseSteps ? 1 : 0, state.synchronised ? 1 : 0, state.maxErrorUs, state.estErrorUs,
        kLeapNames[static_cast<int>(state.leap)], state.leapAt);
    if (n < 0 || n >= static_cast<int>(sizeof fixed)) return false;
    std::string text(fixed, static_cast<size_t>(n));
    if (state.ratePpm != 0.0) {
        char rate[48];
        (void)std::snprintf(rate, sizeof rate, "rate_ppm=%.9f\n", state.ratePpm);
        text.append(rate);
    }
    for (const auto& [key, value] : state.otherKeys) text.append(key).append("=").append(value).append("\n");
    return WriteFileAtomically(path_.c_str(), text, false, true);
}

double VirtualClock::Unleapt(double realSeconds) const {
    const double rate =
        static_cast<double>(state_.adjustment) / static_cast<double>(state_.increment) + state_.ratePpm / 1e6;
    return realSeconds + state_.offsetMs / 1000.0 + (realSeconds - state_.since) * (rate - 1.0);
}

double VirtualClock::VirtualAt(double realSeconds) const {
    const double v = Unleapt(realSeconds);
    if (state_.leapAt == 0) return v;
    // As Linux makes it: an inserted second repeats the one before midnight; a deleted one is skipped.
    const double midnight = static_cast<double>(state_.leapAt);
    if (state_.leap == LeapSecond::kInsert && v >= midnight) return v - 1.0;
    if (state_.leap == LeapSecond::kDelete && v >= midnight - 1.0) return v + 1.0;
    return v;
}

VirtualClock::State VirtualClock::Settled(double realSeconds) const {
    State next = state_;
    const double v = VirtualAt(realSeconds);
    if (state_.leapAt != 0 && v != Unleapt(realSeconds)) {
        next.offsetMs += (v - Unleapt(realSeconds)) * 1000.0;
        next.leapAt = 0;  // made; armed still, as the kernel stays until told otherwise
    }
    return next;
}

UtcSeconds VirtualClock::ReadUtc() {
    const double v = VirtualAt(RealUnixSeconds());
    const double whole = std::floor(v);
    const int ms = TruncateToInt32((v - whole) * 1000.0);
    return {TruncateToInt64(whole), ms > 999 ? 999 : ms};
}

bool VirtualClock::SetUtc(UtcSeconds time) {
    // The platforms refuse a time they cannot represent; so does this clock.
    if (time.milliseconds < 0 || time.milliseconds > 999) return false;
    return StepTo(static_cast<double>(time.seconds) + time.milliseconds / 1000.0);
}

bool VirtualClock::SetUtcNs(int64_t unixNs) {
    return StepTo(static_cast<double>(unixNs) / 1e9);
}

bool VirtualClock::StepTo(double target) {
    if (state_.refuseSteps) return false;
    const double real = RealUnixSeconds();
    State next = state_;
    next.offsetMs = (target - real) * 1000.0;
    next.since = real;
    ++next.steps;
    // As Linux's kernel, whose step drops the leap armed.
    next.leap = LeapSecond::kNone;
    next.leapAt = 0;
    return Commit(next);
}

bool VirtualClock::GetAdjustment(uint32_t& adjustment, uint32_t& increment, bool& disabled) {
    // A precise rate shows in whole units, as Linux rounds its frequency.
    adjustment = static_cast<uint32_t>(static_cast<int64_t>(state_.adjustment) +
                                       RoundToInt64(state_.ratePpm * state_.increment / 1e6));
    increment = state_.increment;
    disabled = false;
    return true;
}

bool VirtualClock::SetAdjustment(uint32_t adjustment) {
    // The rates the Linux clock takes, and no others, so that a dry run corrects as the service would:
    // the tick within 10 % of its nominal value and the frequency within 500 ppm.
    const double increment = static_cast<double>(state_.increment);
    if (std::fabs(static_cast<double>(adjustment) - increment) > increment * kMaxRateOffset) return false;
    const double real = RealUnixSeconds();
    State next = Settled(real);
    next.offsetMs = (VirtualAt(real) - real) * 1000.0;
    next.since = real;
    next.adjustment = adjustment;
    next.ratePpm = 0.0;
    ++next.adjustments;
    return Commit(next);
}

bool VirtualClock::ReadPrecise(int64_t& unixNs, int64_t& rawNs) {
    using namespace std::chrono;
    const int64_t before = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
    const double v = VirtualAt(RealUnixSeconds());
    const int64_t after = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
    unixNs = TruncateToInt64(v * 1e9);
    rawNs = before + (after - before) / 2;
    return true;
}

bool VirtualClock::GetRatePpm(double& ppm) {
    ppm = (static_cast<double>(state_.adjustment) / state_.increment - 1.0) * 1e6 + state_.ratePpm;
    return true;
}

bool VirtualClock::SetRatePpm(double ppm) {
    if (!(std::fabs(ppm) <= kMaxRatePpm)) return false;
    const double real = RealUnixSeconds();
    State next = Settled(real);
    next.offsetMs = (VirtualAt(real) - real) * 1000.0;
    next.since = real;
    next.adjustment = state_.increment;
    next.ratePpm = ppm;
    ++next.adjustments;
    return Commit(next);
}

ClockTold VirtualClock::TellSynchronised(uint32_t maxErrorUs, uint32_t estErrorUs) {
    State next = state_;
    next.synchronised = true;
    next.maxErrorUs = maxErrorUs;
    next.estErrorUs = estErrorUs;
    return Commit(next) ? ClockTold::kDone : ClockTold::kFailed;
}

ClockTold VirtualClock::TellUnsynchronised() {
    State next = state_;
    next.synchronised = false;
    return Commit(next) ? ClockTold::kDone : ClockTold::kFailed;
}

ClockTold VirtualClock::ArmLeap(LeapSecond leap) {
    const double real = RealUnixSeconds();
    State next = Settled(real);
    if (leap != state_.leap) {
        // Its midnight is the next one by this clock when it is armed, as the kernel takes it.
        const double v = VirtualAt(real);
        next.leap = leap;
        next.leapAt = leap == LeapSecond::kNone || v < 0
                          ? 0
                          : (static_cast<unsigned long long>(v) / kSecondsPerDay + 1) * kSecondsPerDay;
    }
    return Commit(next) ? ClockTold::kDone : ClockTold::kFailed;
}

bool VirtualClock::Commit(const State& next) {
    // Like a real clock that refuses a change, this one keeps its time when the change cannot be recorded.
    if (!usable_ || !Save(next)) return false;
    state_ = next;
    return true;
}

VirtualClock* VirtualClockFromEnvironment() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once at start, before any other thread exists
    const char* path = std::getenv(kEnvironmentVariable);
    if (path == nullptr || path[0] == '\0') return nullptr;
    // Lives for the process: the clock must stay valid for every thread until exit.
    static VirtualClock* clock = new VirtualClock(path);
    return clock;
}
