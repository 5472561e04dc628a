#pragma once

#include <cstdint>

#include "time/ClockBackend.h"
#include "time/NtpTime.h"

// Stateless helper over the clock backend in force; make one wherever the clock is needed.
class SystemClock {
  public:
    static int DaysInYear(int year);
    UtcSeconds UtcSecondsNow() const;
    NtpTime Now() const;
    bool SetClock(uint32_t unixSeconds, uint32_t milliseconds) const;
};
