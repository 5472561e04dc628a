#include "time/ClockBackend.h"

#include "base/Platform.h"

ClockBackend& CurrentClock() {
    ClockBackend* clock = CurrentPlatform().clock;
    return clock != nullptr ? *clock : PlatformClock();
}
