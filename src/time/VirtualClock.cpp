#include "time/VirtualClock.h"

#include "time/NtpTime.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kEnvironmentVariable = "ZELKOR_VIRTUAL_CLOCK";
constexpr uint32_t kFallbackIncrement = 100000;

std::string Trim(const std::string& s) {
    const char* space = " \t\r\n";
    const size_t first = s.find_first_not_of(space);
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

// The keys this clock writes itself; a known key with a value it cannot read takes its default.
bool IsKnownKey(const std::string& key) {
    for (const char* known :
         {"offset_ms", "since", "adjustment", "increment", "steps", "adjustments", "refuse_steps"})
        if (key == known) return true;
    return false;
}

bool ParseDouble(const std::string& text, double& out) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) return false;
    out = value;
    return true;
}

bool ParseUnsigned(const std::string& text, unsigned long long& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (*end != '\0') return false;
    out = value;
    return true;
}

}  // namespace

double RealUnixSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

VirtualClock::VirtualClock(std::string path) : path_(std::move(path)) {
    since_ = RealUnixSeconds();
    uint32_t platformAdjustment = 0;
    bool disabled = false;
    if (!PlatformClock().GetAdjustment(platformAdjustment, increment_, disabled) || increment_ == 0)
        increment_ = kFallbackIncrement;
    adjustment_ = increment_;
    Load();
    Save();
}

void VirtualClock::Load() {
    FILE* file = std::fopen(path_.c_str(), "r");
    if (file == nullptr) return;
    bool haveAdjustment = false;
    char line[512];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        const std::string text = Trim(line);
        const size_t equals = text.find('=');
        if (text.empty() || text[0] == '#' || equals == std::string::npos) continue;
        const std::string key = Trim(text.substr(0, equals));
        const std::string value = Trim(text.substr(equals + 1));
        unsigned long long number = 0;
        double real = 0.0;
        if (key == "offset_ms" && ParseDouble(value, real)) {
            offsetMs_ = real;
        } else if (key == "since" && ParseDouble(value, real)) {
            since_ = real;
        } else if (key == "adjustment" && ParseUnsigned(value, number) && number <= UINT32_MAX) {
            adjustment_ = static_cast<uint32_t>(number);
            haveAdjustment = true;
        } else if (key == "increment" && ParseUnsigned(value, number) && number > 0 && number <= UINT32_MAX) {
            increment_ = static_cast<uint32_t>(number);
        } else if (key == "steps" && ParseUnsigned(value, number)) {
            steps_ = number;
        } else if (key == "adjustments" && ParseUnsigned(value, number)) {
            adjustments_ = number;
        } else if (key == "refuse_steps") {
            refuseSteps_ = value == "1";
        } else if (!IsKnownKey(key)) {
            otherKeys_.emplace_back(key, value);
        }
    }
    (void)std::fclose(file);  // opened for reading: nothing to lose
    if (!haveAdjustment) adjustment_ = increment_;
}

void VirtualClock::Save() const {
    const std::string temporary = path_ + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return;
    (void)std::fprintf(
        file,
        "offset_ms=%.6f\nsince=%.6f\nadjustment=%u\nincrement=%u\nsteps=%llu\nadjustments=%llu\n"
        "refuse_steps=%d\n",
        offsetMs_, since_, adjustment_, increment_, steps_, adjustments_, refuseSteps_ ? 1 : 0);
    for (const auto& [key, value] : otherKeys_)
        (void)std::fprintf(file, "%s=%s\n", key.c_str(), value.c_str());
    // Any failed write shows in the stream's error flag; the old file then stays as it was.
    const bool written = std::fflush(file) == 0 && std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !written || !ReplaceFileAtomically(temporary.c_str(), path_.c_str()))
        (void)std::remove(temporary.c_str());
}

double VirtualClock::VirtualAt(double realSeconds) const {
    const double rate = static_cast<double>(adjustment_) / static_cast<double>(increment_);
    return realSeconds + offsetMs_ / 1000.0 + (realSeconds - since_) * (rate - 1.0);
}

void VirtualClock::ReadUtc(CalendarTime& now) {
    const double v = VirtualAt(RealUnixSeconds());
    const double whole = std::floor(v);
    if (!BreakDownUtc(TruncateToInt64(whole), now)) now = CalendarTime{1970, 1, 1, 0, 0, 0, 0};
    int ms = static_cast<int>((v - whole) * 1000.0);
    now.milliseconds = ms > 999 ? 999 : ms;
}

bool VirtualClock::SetUtc(const CalendarTime& time) {
    // The platforms refuse a time they cannot represent; so does this clock.
    if (refuseSteps_ || time.milliseconds < 0 || time.milliseconds > 999) return false;
    const double target = static_cast<double>(UnixSecondsFromCalendar(time)) + time.milliseconds / 1000.0;
    const double real = RealUnixSeconds();
    offsetMs_ = (target - real) * 1000.0;
    since_ = real;
    ++steps_;
    Save();
    return true;
}

bool VirtualClock::GetAdjustment(uint32_t& adjustment, uint32_t& increment, bool& disabled) {
    adjustment = adjustment_;
    increment = increment_;
    disabled = false;
    return true;
}

bool VirtualClock::SetAdjustment(uint32_t adjustment) {
    const double real = RealUnixSeconds();
    offsetMs_ = (VirtualAt(real) - real) * 1000.0;
    since_ = real;
    adjustment_ = adjustment;
    ++adjustments_;
    Save();
    return true;
}

bool InstallVirtualClockFromEnvironment() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once at start, before any other thread exists
    const char* path = std::getenv(kEnvironmentVariable);
    if (path == nullptr || path[0] == '\0') return false;
    // Lives for the process: the clock must stay valid for every thread until exit.
    static VirtualClock* clock = new VirtualClock(path);
    InstallClock(clock);
    return true;
}
