#pragma once

#include <cstdint>

// UTC calendar time with milliseconds, the form in which the system clock is read and set.
struct CalendarTime {
    int year;
    int month;  // 1 to 12
    int day;    // 1 to 31
    int hour;
    int minute;
    int second;
    int milliseconds;
};

// What the platform keeps besides the time and the rate: whether the clock is synchronised, within what
// error, and a leap second to come. Linux's kernel keeps it (adjtimex); the virtual clock keeps it in its
// file; Windows keeps its own and is told nothing.
enum class ClockTold { kDone, kNotKept, kFailed };
enum class LeapSecond { kNone, kInsert, kDelete };

// Every access to the machine's clock goes through one backend: the platform's own, the virtual clock
// of dry runs, or a fake in tests.
class ClockBackend {
  public:
    virtual ~ClockBackend() = default;
    virtual void ReadUtc(CalendarTime& now) = 0;
    virtual bool SetUtc(const CalendarTime& time) = 0;
    // The time adjustment and the nominal increment, both in 100-ns units per clock interrupt.
    virtual bool GetAdjustment(uint32_t& adjustment, uint32_t& increment, bool& disabled) = 0;
    virtual bool SetAdjustment(uint32_t adjustment) = 0;
    virtual void EnableTimePrivilege() = 0;
    // The clock is synchronised: its error is at most maxErrorUs and about estErrorUs (microseconds).
    virtual ClockTold TellSynchronised(uint32_t maxErrorUs, uint32_t estErrorUs) = 0;
    virtual ClockTold TellUnsynchronised() = 0;
    // A second to insert or delete at the next midnight UTC by this clock; kNone disarms. A step drops a
    // leap armed before it.
    virtual ClockTold ArmLeap(LeapSecond leap) = 0;
};

// The backend in force; the platform's until another is installed.
ClockBackend& CurrentClock();
void InstallClock(ClockBackend* backend);  // null restores the platform's
ClockBackend& PlatformClock();

// The calendar fields of a broken-down time (milliseconds 0).
struct tm;
CalendarTime CalendarFromTm(const struct tm& broken);

// The platform's UTC breakdown of seconds since 1970; false when it cannot represent the time.
bool BreakDownUtc(int64_t unixSeconds, CalendarTime& out);

// Seconds since 1970 of a UTC calendar date, by the proleptic Gregorian calendar.
int64_t UnixSecondsFromCalendar(const CalendarTime& time);
