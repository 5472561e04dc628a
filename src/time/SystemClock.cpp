#include "time/SystemClock.h"

#include <ctime>

#include "time/ClockBackend.h"
#include "time/SntpMessage.h"

namespace {

// Days of a common year before each month: the month lengths 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31
// added up.
constexpr int kDaysBeforeMonth[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

ClockBackend* installed = nullptr;

// Leap years from year 1 up to and including y (Gregorian rules).
int64_t LeapYearsThrough(int64_t y) {
    return y / 4 - y / 100 + y / 400;
}

// The sum of DaysInYear over 1970 .. year - 1, in closed form: the responder reads the clock twice per
// request, and summing year by year cost more than all the rest of the answer. 0 before 1971.
int64_t DaysFrom1970ToYear(int year) {
    if (year <= 1970) return 0;
    return 365 * static_cast<int64_t>(year - 1970) + LeapYearsThrough(year - 1) - LeapYearsThrough(1969);
}

}  // namespace

ClockBackend& CurrentClock() {
    return installed ? *installed : PlatformClock();
}

void InstallClock(ClockBackend* backend) {
    installed = backend;
}

int64_t UnixSecondsFromCalendar(const CalendarTime& time) {
    // Days from 1970-01-01 to the civil date (H. Hinnant's days_from_civil).
    const int64_t y = static_cast<int64_t>(time.year) - (time.month <= 2 ? 1 : 0);
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t m = time.month;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + time.day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    return ((days * 24 + time.hour) * 60 + time.minute) * 60 + time.second;
}

CalendarTime CalendarFromTm(const struct tm& broken) {
    return CalendarTime{broken.tm_year + 1900,
                        broken.tm_mon + 1,
                        broken.tm_mday,
                        broken.tm_hour,
                        broken.tm_min,
                        broken.tm_sec,
                        0};
}

int SystemClock::DaysInYear(int year) {
    if (year % 400 == 0) return 366;
    if (year % 100 == 0) return 365;
    if (year % 4 == 0) return 366;
    return 365;
}

UtcSeconds SystemClock::UtcSecondsNow() const {
    CalendarTime now{};
    CurrentClock().ReadUtc(now);
    int64_t days = DaysFrom1970ToYear(now.year);
    if (DaysInYear(now.year) == 366 && now.month >= 3) days += 1;
    if (now.month >= 1 && now.month <= 12) days += kDaysBeforeMonth[now.month];
    days += now.day - 1;
    const int64_t seconds = ((days * 24 + now.hour) * 60 + now.minute) * 60 + now.second;
    return {seconds, now.milliseconds};
}

NtpTime SystemClock::Now() const {
    const UtcSeconds u = UtcSecondsNow();
    const uint32_t seconds = static_cast<uint32_t>(u.seconds + kSecondsFrom1900To1970);
    const uint32_t fraction = static_cast<uint32_t>(u.milliseconds) * 4294967u;
    return NtpTime(seconds, fraction);
}

bool SystemClock::SetClock(uint32_t unixSeconds, uint32_t milliseconds) const {
    CalendarTime time{};
    if (!BreakDownUtc(static_cast<int64_t>(unixSeconds), time)) return false;
    time.milliseconds = static_cast<int>(milliseconds & 0xFFFF);
    return CurrentClock().SetUtc(time);
}
