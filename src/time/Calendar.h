#pragma once

#include <cstdint>

// The UTC calendar, where a platform or a person needs one: Windows reads and sets its clock in calendar
// fields, and people read times in them. The clock itself is read and set in seconds since 1970.
struct CalendarTime {
    int year;
    int month;  // 1 to 12
    int day;    // 1 to 31
    int hour;
    int minute;
    int second;
    int milliseconds;
};

// 366 for a leap year (divisible by 4, unless by 100 but not by 400), else 365.
int DaysInYear(int year);

// Seconds since 1970-01-01 00:00:00 UTC of a calendar date and time, the days counted year by year with
// DaysInYear, the leap day from March on (milliseconds left out).
int64_t SecondsFromCalendar(const CalendarTime& time);

// The calendar fields of a broken-down time (milliseconds 0).
struct tm;
CalendarTime CalendarFromTm(const struct tm& broken);

// Platform: the UTC breakdown of seconds since 1970; false when it cannot represent the time.
bool BreakDownUtc(int64_t unixSeconds, CalendarTime& out);
