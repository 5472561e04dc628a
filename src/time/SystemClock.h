#pragma once

#include <cstdint>

#include "time/NtpTime.h"

struct UtcSeconds {
    int64_t seconds;   // since 1970-01-01 00:00:00 UTC
    int milliseconds;  // 0 to 999
};

// Stateless helper over the clock backend in force; make one wherever the clock is needed.
class SystemClock {
  public:
    static int DaysInYear(int year);
    UtcSeconds UtcSecondsNow() const;
    NtpTime Now() const;
    bool SetClock(uint32_t unixSeconds, uint32_t milliseconds) const;
};
