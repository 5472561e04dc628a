#include "time/ClockBackend.h"

#include "base/Platform.h"

bool ClockBackend::ReadPrecise(int64_t&, int64_t&) {
    return false;
}
bool ClockBackend::ReadPreciseTime(int64_t& unixNs) {
    int64_t rawNs = 0;
    return ReadPrecise(unixNs, rawNs);
}
bool ClockBackend::SetUtcNs(int64_t) {
    return false;
}
bool ClockBackend::GetRatePpm(double&) {
    return false;
}
bool ClockBackend::SetRatePpm(double) {
    return false;
}

ClockBackend& CurrentClock() {
    ClockBackend* clock = CurrentPlatform().clock;
    return clock != nullptr ? *clock : PlatformClock();
}
