#include "time/Calendar.h"

#include <ctime>

namespace {

// Days of a common year before each month: the month lengths 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31
// added up.
constexpr int kDaysBeforeMonth[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Leap years from year 1 up to and including y (Gregorian rules).
int64_t LeapYearsThrough(int64_t y) {
    return y / 4 - y / 100 + y / 400;
}

// The sum of DaysInYear over 1970 .. year - 1, in closed form: Windows reads the clock twice per request,
// and summing year by year cost more than all the rest of the answer. 0 before 1971.
int64_t DaysFrom1970ToYear(int year) {
    if (year <= 1970) return 0;
    return 365 * static_cast<int64_t>(year - 1970) + LeapYearsThrough(year - 1) - LeapYearsThrough(1969);
}

}  // namespace

int DaysInYear(int year) {
    if (year % 400 == 0) return 366;
    if (year % 100 == 0) return 365;
    if (year % 4 == 0) return 366;
    return 365;
}

int64_t SecondsFromCalendar(const CalendarTime& time) {
    int64_t days = DaysFrom1970ToYear(time.year);
    if (DaysInYear(time.year) == 366 && time.month >= 3) days += 1;
    if (time.month >= 1 && time.month <= 12) days += kDaysBeforeMonth[time.month];
    days += time.day - 1;
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
