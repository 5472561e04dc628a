#pragma once

#include <cstdint>

// The clock corrector's state, and its own account of what it did: tracking and the status read that
// here. Only the worker touches it.

constexpr double kStepThresholdSeconds = 2.0;  // strictly greater errors step

enum class CorrectionAction { kNone, kStep, kSlew, kFailedStep };

struct CorrectorState {
    int prevPositive = 1;
    double prevError = 0.0;
    int armed = 1;
    uint32_t bestGuess = 0;
    int corrected = 0;    // a step or a slew has been made since the start
    int rateRefused = 0;  // the clock refused the last change of its rate
    // The last correction: what was done and for what error (seconds).
    CorrectionAction lastAction = CorrectionAction::kNone;
    double lastError = 0.0;
    uint64_t steps = 0;
    uint64_t failedSteps = 0;
    uint64_t slews = 0;
    uint64_t rateChangesFailed = 0;  // changes of the rate the clock refused
    uint64_t ratesHeld = 0;          // rates asked for beyond 500 ppm of nominal, and held within it
};

extern CorrectorState correctorState;

// The account both disciplines give of what they did, counted and said alike. error: seconds.
const char* Plural(double error);  // "" for one second, "s" otherwise
void NoteStep(bool done, double error);
void NoteSlew();
// A change of the rate to amount (its text): a refusal counted, and said in the service log once a run.
void NoteRateChange(bool done, const char* amount);
