#include "time/NtpTime.h"

uint32_t AgeSeconds(NtpTime now, NtpTime then) {
    return static_cast<uint32_t>(TruncateToInt64((now - then).Seconds()));
}
