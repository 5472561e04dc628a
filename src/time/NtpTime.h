#pragma once

#include <cstdint>

constexpr uint32_t kSecondsFrom1900To1970 = 2208988800u;

// Seconds since 1900-01-01 00:00:00 UTC, fraction included, in one double.
class NtpTime {
  public:
    explicit NtpTime(uint32_t seconds = 0, uint32_t fraction = 0) noexcept
        : value_(fraction / 4294967295.0 + seconds) {}

    double Seconds() const { return value_; }

    friend NtpTime operator-(NtpTime a, NtpTime b) { return FromSeconds(a.value_ - b.value_); }
    friend NtpTime operator+(NtpTime a, NtpTime b) { return FromSeconds(a.value_ + b.value_); }
    friend NtpTime operator/(NtpTime a, int32_t n) { return FromSeconds(a.value_ / n); }

  private:
    static NtpTime FromSeconds(double seconds) noexcept {
        NtpTime t;
        t.value_ = seconds;
        return t;
    }

    double value_;
};

// Truncation toward zero that stays defined for values no integer can hold (they saturate, NaN gives 0):
// every double the network can make us compute must convert without undefined behaviour.
inline int64_t TruncateToInt64(double value) {
    if (value != value) return 0;  // NaN
    if (value >= 9223372036854775807.0) return INT64_MAX;
    if (value <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(value);
}

// To the nearest integer, halves away from zero, saturating as above: the daemon links no libm (a third
// of a MiB resident) for llround.
inline int64_t RoundToInt64(double value) {
    return TruncateToInt64(value < 0 ? value - 0.5 : value + 0.5);
}

inline int32_t TruncateToInt32(double value) {
    if (value != value) return 0;  // NaN
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// The age rule of broadcast tracking: the difference truncated to 64 bits, compared as its low 32 bits
// unsigned, so that a clock stepped back makes a negative age look very old.
uint32_t AgeSeconds(NtpTime now, NtpTime then);

// Seconds since 1970 of an NTP time (after 2036 in the next era); 0 for no time at all.
double UnixSeconds(NtpTime t);
