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

double RealUnixSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}
