#include "sync/CorrectorState.h"

#include "base/Log.h"

CorrectorState correctorState;

const char* Plural(double error) {
    return (error == 1.0 || error == -1.0) ? "" : "s";
}

void NoteStep(bool done, double error) {
    CorrectorState& state = correctorState;
    if (!done) {
        ++state.failedSteps;
        state.lastAction = CorrectionAction::kFailedStep;
        LogEvent(Priority::kError, "Failed to set the time");
        return;
    }
    ++state.steps;
    state.lastAction = CorrectionAction::kStep;
    state.corrected = 1;
    LogBurst(Refusal::kStepMade, EventKind::kStep, Priority::kNotice,
             "The time has been corrected by %.3f second%s", error, Plural(error));
}

void NoteSlew() {
    LOG_LINE("Slew clock");
    ++correctorState.slews;
    correctorState.lastAction = CorrectionAction::kSlew;
    correctorState.corrected = 1;
}

void NoteRateChange(bool done, const char* amount) {
    CorrectorState& state = correctorState;
    if (done) {
        state.rateRefused = 0;
        return;
    }
    ++state.rateChangesFailed;
    if (state.rateRefused) {
        LOG_LINE("Failed to set the clock's rate to %s", amount);
    } else {
        LogEvent(Priority::kError, "Failed to set the clock's rate to %s", amount);
    }
    state.rateRefused = 1;
}
