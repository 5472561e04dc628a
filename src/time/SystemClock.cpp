#include "time/SystemClock.h"

#include <chrono>

#include "time/Calendar.h"
#include "time/SntpMessage.h"

int SystemClock::DaysInYear(int year) {
    return ::DaysInYear(year);
}

UtcSeconds SystemClock::UtcSecondsNow() const {
    return CurrentClock().ReadUtc();
}

NtpTime SystemClock::Now() const {
    const UtcSeconds u = UtcSecondsNow();
    const uint32_t seconds = static_cast<uint32_t>(u.seconds + kSecondsFrom1900To1970);
    const uint32_t fraction = static_cast<uint32_t>(u.milliseconds) * 4294967u;
    return NtpTime(seconds, fraction);
}

bool SystemClock::SetClock(uint32_t unixSeconds, uint32_t milliseconds) const {
    // Only the low 16 bits of the milliseconds count, as Windows' calendar record holds them.
    return CurrentClock().SetUtc(
        {static_cast<int64_t>(unixSeconds), static_cast<int>(milliseconds & 0xFFFF)});
}

bool SystemClock::PreciseNow(NtpTime& now, int64_t& rawNs) const {
    int64_t unixNs = 0;
    if (!CurrentClock().ReadPrecise(unixNs, rawNs)) {
        now = Now();
        rawNs = 0;
        return false;
    }
    now = NtpFromUnixNs(unixNs);
    return true;
}

NtpTime SystemClock::PreciseNow() const {
    int64_t unixNs = 0;
    return CurrentClock().ReadPreciseTime(unixNs) ? NtpFromUnixNs(unixNs) : Now();
}

bool SystemClock::SetClockNs(int64_t unixNs) const {
    return CurrentClock().SetUtcNs(unixNs);
}

NtpTime NtpFromUnixNs(int64_t unixNs) {
    constexpr int64_t kNs = 1000000000;
    int64_t seconds = unixNs / kNs;
    int64_t ns = unixNs % kNs;
    if (ns < 0) {
        ns += kNs;
        --seconds;
    }
    const uint32_t fraction = static_cast<uint32_t>((static_cast<uint64_t>(ns) << 32) / kNs);
    return NtpTime(static_cast<uint32_t>(seconds + kSecondsFrom1900To1970), fraction);
}

NtpTime NtpSpan(int64_t ns) {
    constexpr int64_t kNs = 1000000000;
    if (ns <= 0) return NtpTime();
    return NtpTime(static_cast<uint32_t>(ns / kNs), static_cast<uint32_t>(((ns % kNs) << 32) / kNs));
}

int64_t UnixNsFromNtp(NtpTime t) {
    // A double of seconds since 1900 holds about a quarter of a microsecond: to the microsecond.
    return RoundToInt64(UnixSeconds(t) * 1e6) * 1000;
}

double RealUnixSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}
