#pragma once

#include <cstdint>

#include "time/ClockBackend.h"
#include "time/NtpTime.h"

// Stateless helper over the clock backend in force (CurrentClock); make one wherever the clock is needed.
class SystemClock {
  public:
    static int DaysInYear(int year);
    UtcSeconds UtcSecondsNow() const;
    NtpTime Now() const;
    bool SetClock(uint32_t unixSeconds, uint32_t milliseconds) const;
    // PreciseTime: the time to the nanosecond and the raw clock read with it (false: the backend has no
    // precise read, and the time is Now's), and a step to the nanosecond.
    bool PreciseNow(NtpTime& now, int64_t& rawNs) const;
    NtpTime PreciseNow() const;  // the time alone (Now's where the backend has no precise read)
    bool SetClockNs(int64_t unixNs) const;
};

// An NTP time from nanoseconds since 1970, and back (the seconds of this era); a span of nanoseconds.
NtpTime NtpFromUnixNs(int64_t unixNs);
NtpTime NtpSpan(int64_t ns);
int64_t UnixNsFromNtp(NtpTime t);

// The machine's own clock, in seconds since 1970, whatever backend is in force: what the virtual clock
// runs on, and what zelkorstat judges a status file's age by.
double RealUnixSeconds();
