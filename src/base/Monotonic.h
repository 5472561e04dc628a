#pragma once

#include <cstdint>

// Milliseconds of a clock that never steps (the real one is the clock this program steps): for intervals
// such as "at most once a second". The platform record may name another (tests).
int64_t MonotonicMs();
