#pragma once

#include <cstdint>

// Milliseconds of a clock that never steps (the real one is the clock this program steps): for intervals
// such as "at most once a second". Tests install a clock of their own.
int64_t MonotonicMs();
void InstallMonotonic(int64_t (*clock)());  // null restores the system's
