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
};

// The machine's own clock, in seconds since 1970, whatever backend is in force: what the virtual clock
// runs on, and what zelkorstat judges a status file's age by.
double RealUnixSeconds();
