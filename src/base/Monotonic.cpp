#include "base/Monotonic.h"

#include <chrono>

namespace {

int64_t (*installed)() = nullptr;

}  // namespace

int64_t MonotonicMs() {
    if (installed != nullptr) return installed();
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void InstallMonotonic(int64_t (*clock)()) {
    installed = clock;
}
