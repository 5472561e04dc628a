#include "base/Monotonic.h"

#include <chrono>

#include "base/Platform.h"

int64_t MonotonicMs() {
    if (const auto clock = CurrentPlatform().monotonicMs) return clock();
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
