#pragma once

// The clock corrector: steps the clock by an error beyond kStepThresholdSeconds, slews it otherwise, and
// learns a best guess of the clock's rate. What it did is in correctorState.


// error: seconds, positive when the local clock is behind.
void CorrectClock(double error);

// Puts the rate back to the best guess, or the nominal rate: a refused correction leaves in force no rate
// that the corrections before it set.
void ResetRate();
// At a clean stop, after any correction: the rate back, as ResetRate.
void ReleaseClock();
