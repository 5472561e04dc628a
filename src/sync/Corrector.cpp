#include <cmath>
#include <cstdio>

#include "sync/Corrector.h"

#include "base/Log.h"
#include "sync/CorrectorState.h"
#include "sync/Precise.h"
#include "time/ClockBackend.h"
#include "time/SystemClock.h"

namespace {

constexpr double kSlewUnitsPerSecond = 100.0;
// The rate is held within the kernel's own bound on a frequency, 500 ppm of the nominal: the slew
// arithmetic alone moves it further with every error of the same sign, and wraps, without end.
constexpr int64_t kMaxRatePartsPerMillion = 500;
constexpr uint32_t kUnixFromNtpSeconds = 2085978496u;  // -2208988800 modulo 2^32

void StepClock(NtpTime start, double error) {
    const SystemClock clock;
    const double t = start.Seconds() + error;
    const int64_t s = TruncateToInt64(t);
    const int32_t ms = TruncateToInt32((t - static_cast<double>(s)) * 1000.0);
    const uint32_t unixSeconds = static_cast<uint32_t>(s) + kUnixFromNtpSeconds;
    NoteStep(clock.SetClock(unixSeconds, static_cast<uint32_t>(ms)), error);
}

// Sets the rate, held within kMaxRatePartsPerMillion of the increment; a refusal (a missing privilege) is
// counted and logged, in the service log once for each run.
void SetRate(ClockBackend& backend, int64_t wanted, uint32_t increment) {
    const int64_t most = int64_t{increment} * kMaxRatePartsPerMillion / 1000000;
    const int64_t nominal = increment;
    const int64_t held = wanted < nominal - most   ? nominal - most
                         : wanted > nominal + most ? nominal + most
                                                   : wanted;
    if (held != wanted) {
        // Counted, and said once in the service log: the console's lines are the corrector's own.
        if (correctorState.ratesHeld++ == 0)
            ServiceEvent(Priority::kNotice,
                         "The clock's rate is held at %lld, within 500 ppm of its nominal %u, not %lld",
                         static_cast<long long>(held), increment, static_cast<long long>(wanted));
    }
    const uint32_t adjustment = static_cast<uint32_t>(held);
    char amount[16];
    (void)std::snprintf(amount, sizeof amount, "%u", adjustment);
    NoteRateChange(backend.SetAdjustment(adjustment), amount);
}

}  // namespace

void CorrectClock(double error) {
    ClockBackend& backend = CurrentClock();
    CorrectorState& state = correctorState;
    const NtpTime start = SystemClock().Now();
    const bool positive = error > 0;
    uint32_t adjustment = 0;
    uint32_t increment = 0;
    bool disabled = false;

    backend.EnableTimePrivilege();

    const bool converging = (state.prevPositive && positive && error <= state.prevError) ||
                            (!state.prevPositive && !positive && error >= state.prevError);
    if (state.armed && converging) {
        // The adjustment in force while the error shrank is the best estimate of the clock's own rate.
        if (backend.GetAdjustment(adjustment, increment, disabled)) {
            state.bestGuess = adjustment;
            LOG_LINE("Best guess of frequency is %d", static_cast<int>(adjustment));
        }
        state.armed = 0;
    }

    LOG_LINE("Delta is %.3f second%s", error, Plural(error));
    state.lastError = error;

    if (std::fabs(error) > kStepThresholdSeconds) {
        StepClock(start, error);
        if (backend.GetAdjustment(adjustment, increment, disabled)) SetRate(backend, increment, increment);
        state.armed = 1;
        return;
    }

    NoteSlew();
    uint32_t amount = static_cast<uint32_t>(TruncateToInt32(std::fabs(error) * kSlewUnitsPerSecond));
    if (amount == 0) amount = 1;
    if (positive != static_cast<bool>(state.prevPositive)) {
        // The error changed sign: go back to the rate that kept time best.
        if (backend.GetAdjustment(adjustment, increment, disabled))
            SetRate(backend, state.bestGuess != 0 ? state.bestGuess : increment, increment);
        state.armed = 1;
    } else if (backend.GetAdjustment(adjustment, increment, disabled)) {
        const int64_t now = adjustment;
        SetRate(backend, positive ? now + amount : now - amount, increment);
    }
    state.prevPositive = positive ? 1 : 0;
    state.prevError = error;
}

void ReleaseClock() {
    if (correctorState.corrected) ResetRate();
}

void ResetRate() {
    // PreciseTime: the fitted frequency, without the phase's rate.
    if (precise.active) {
        PreciseHoldRate();
        return;
    }
    ClockBackend& backend = CurrentClock();
    uint32_t adjustment = 0, increment = 0;
    bool disabled = false;
    if (backend.GetAdjustment(adjustment, increment, disabled))
        SetRate(backend, correctorState.bestGuess != 0 ? correctorState.bestGuess : increment, increment);
}
