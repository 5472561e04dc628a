#include "time/NtpTime.h"

uint32_t AgeSeconds(NtpTime now, NtpTime then) {
    return static_cast<uint32_t>(TruncateToInt64((now - then).Seconds()));
}

double UnixSeconds(NtpTime t) {
    double seconds = t.Seconds();
    if (seconds == 0.0) return 0.0;
    // From 2036-02-07 the seconds field starts again at 0: such values lie in the next era.
    if (seconds < 2147483648.0) seconds += 4294967296.0;
    return seconds - kSecondsFrom1900To1970;
}
