#include "sync/Precise.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "auth/Mac.h"
#include "base/Log.h"
#include "base/Monotonic.h"
#include "sync/InForce.h"
#include "sync/Status.h"
#include "sync/SyncState.h"
#include "time/ClockBackend.h"
#include "time/SystemClock.h"

PreciseDiscipline precise;

namespace {

constexpr double kNsPerSecond = 1e9;
constexpr double kReadingSeconds = 2e-6;  // the clock's reading and the double it is held in
// Samples enough for the second fit to leave some out.
constexpr int kLeastToFitAgain = 8;

struct Sums {
    int n = 0;
    double x = 0, y = 0, xx = 0, xy = 0;
    double least = 0, most = 0;
};

// The square root by Newton's method, from above: the daemon links no libm for one root.
double Root(double v) {
    if (!(v > 0)) return 0;
    double x = v > 1 ? v : 1;
    for (int i = 0; i < 100; ++i) {
        const double next = (x + v / x) / 2;
        if (!(next < x)) break;
        x = next;
    }
    return x;
}

double Seconds(int64_t rawNs, int64_t atRawNs) {
    return static_cast<double>(rawNs - atRawNs) / kNsPerSecond;
}

Fit LineThrough(const TimeSample* samples, const bool* keep, int count, int64_t atRawNs) {
    Sums s;
    for (int i = 0; i < count; ++i) {
        if (!keep[i]) continue;
        const double x = Seconds(samples[i].rawNs, atRawNs);
        const double y = samples[i].lead;
        s.least = s.n == 0 ? x : std::min(s.least, x);
        s.most = s.n == 0 ? x : std::max(s.most, x);
        ++s.n;
        s.x += x;
        s.y += y;
        s.xx += x * x;
        s.xy += x * y;
    }
    Fit fit;
    const double determinant = s.n * s.xx - s.x * s.x;
    if (s.n < 2 || s.most - s.least < kMinFitSpanSeconds || determinant <= 0) return fit;
    fit.slope = (s.n * s.xy - s.x * s.y) / determinant;
    fit.lead = (s.y - fit.slope * s.x) / s.n;
    double squares = 0;
    for (int i = 0; i < count; ++i) {
        if (!keep[i]) continue;
        const double r = samples[i].lead - fit.lead - fit.slope * Seconds(samples[i].rawNs, atRawNs);
        squares += r * r;
    }
    fit.spread = Root(squares / s.n);
    fit.used = s.n;
    fit.valid = true;
    return fit;
}

// A new server: its samples from now on, and its own round trips (a confirmation may have just timed one).
void Plain(PreciseDiscipline& p, uint32_t server) {
    p.count = p.next = 0;
    p.fit = Fit{};
    p.leapShiftedFor = 0;
    if (p.tripServer == server) return;
    p.trips = p.nextTrip = 0;
    p.tripServer = server;
    if (!syncState.fixedDelay) syncState.delayValid = 0;
}

// Sets the rate, within the bound; a refusal counted, and said once a run.
void SetRate(double ppm) {
    const double held = std::clamp(ppm, -kMaxRatePpm, kMaxRatePpm);
    char amount[32];
    (void)std::snprintf(amount, sizeof amount, "%.3f ppm", held);
    NoteRateChange(CurrentClock().SetRatePpm(held), amount);
}

// A frequency beyond the bound is a wrong fit or a broken oscillator: held, and said once.
double Held(double ppm) {
    if (std::fabs(ppm) <= kMaxRatePpm) return ppm;
    if (correctorState.ratesHeld++ == 0)
        ServiceEvent(Priority::kNotice, "The clock's rate is held within 500 ppm, not %.3f ppm", ppm);
    return std::clamp(ppm, -kMaxRatePpm, kMaxRatePpm);
}

// A server makes an inserted leap second by repeating one: its samples from after midnight lead those
// before by a second less. Once the first after it shows so, the ones before are moved by the second.
void ShiftForLeap(double lead, const Arrival& arrival) {
    PreciseDiscipline& p = precise;
    const SyncState& sync = syncState;
    if (sync.leapNear == LeapSecond::kNone || p.count == 0 || p.leapShiftedFor == sync.leapMidnight ||
        UnixSeconds(arrival.local) < static_cast<double>(sync.leapMidnight))
        return;
    p.leapShiftedFor = sync.leapMidnight;
    const double leap = sync.leapNear == LeapSecond::kInsert ? -1.0 : 1.0;
    const int latest = (p.next + kFitSamples - 1) % kFitSamples;
    const double expected = p.fit.valid
                                ? p.fit.lead + p.fit.slope * Seconds(arrival.rawNs, p.samples[latest].rawNs)
                                : p.samples[latest].lead;
    if (std::fabs(lead - expected - leap) >= std::fabs(lead - expected)) return;
    for (int i = 0; i < p.count; ++i) p.samples[i].lead += leap;
}

}  // namespace

Fit FitSamples(const TimeSample* samples, int count, int64_t atRawNs) {
    bool keep[kFitSamples];
    if (count > kFitSamples) count = kFitSamples;
    std::fill(keep, keep + count, true);
    const Fit all = LineThrough(samples, keep, count, atRawNs);
    if (!all.valid || count < kLeastToFitAgain || count > kFitSamples) return all;
    // The samples that queued longest on the way lead least: without the half of them below the line.
    double residuals[kFitSamples];
    for (int i = 0; i < count; ++i)
        residuals[i] = samples[i].lead - all.lead - all.slope * Seconds(samples[i].rawNs, atRawNs);
    double sorted[kFitSamples];
    for (int i = 0; i < count; ++i) sorted[i] = residuals[i];
    std::nth_element(sorted, sorted + count / 2, sorted + count);
    const double median = sorted[count / 2];
    for (int i = 0; i < count; ++i) keep[i] = residuals[i] >= median;
    const Fit kept = LineThrough(samples, keep, count, atRawNs);
    return kept.valid ? kept : all;
}

double DelayFromRoundTrips(const double* roundTrips, int count) {
    if (count <= 0) return 0;
    return std::max(0.0, *std::min_element(roundTrips, roundTrips + count) / 2);
}

void StartPrecise(bool active) {
    precise = PreciseDiscipline{};
    precise.active = active;
    double ppm = 0;
    // The frequency the clock runs at is this oscillator's, from the last run or another program.
    if (active && CurrentClock().GetRatePpm(ppm))
        precise.freqPpm = std::clamp(ppm, -kMaxRatePpm, kMaxRatePpm);
}

CorrectionAction PreciseCorrect(uint32_t sender, bool newServer, NtpTime transmit, const Arrival& arrival,
                                SocketHandle s, uint32_t key, int stratum, double& error) {
    PreciseDiscipline& p = precise;
    // Another server's samples and delay say nothing of this one's; the frequency is this machine's.
    if (newServer || p.pollServer != sender) {
        Plain(p, sender);
        p.pollServer = sender;
        p.burstLeft = kBurstPolls;
        uint32_t spread = 0;
        (void)FillRandom(reinterpret_cast<uint8_t*>(&spread), sizeof spread);
        p.nextPollMs = MonotonicMs() + static_cast<int64_t>(spread % kBurstSpreadMs);
    }
    if (s != kInvalidSocket) p.pollSocket = s;
    p.pollKey = key;
    p.pollStratum = stratum;
    if (p.count == 0) {
        p.base = transmit;
        p.baseRawNs = arrival.rawNs;
    }
    const double lead = (transmit - p.base).Seconds() - Seconds(arrival.rawNs, p.baseRawNs);
    ShiftForLeap(lead, arrival);
    p.samples[p.next] = {arrival.rawNs, lead};
    p.next = (p.next + 1) % kFitSamples;
    p.count = std::min(p.count + 1, kFitSamples);

    // Where the server stands now by the raw clock, its delay added, against this clock now.
    NtpTime local;
    int64_t raw = 0;
    if (!SystemClock().PreciseNow(local, raw)) raw = arrival.rawNs;
    p.fit = FitSamples(p.samples, p.count, raw);
    if (p.fit.valid) p.freqPpm = Held(p.fit.slope * 1e6);
    const double leadNow = p.fit.valid ? p.fit.lead : lead + p.freqPpm / 1e6 * Seconds(raw, arrival.rawNs);
    const double delay = syncState.delayValid ? syncState.delay.Seconds() : 0;
    const double offset = (p.base - local).Seconds() + leadNow + Seconds(raw, p.baseRawNs) + delay;
    p.lastOffset = offset;
    error = offset;

    LOG_LINE("Delta is %.6f second%s", offset, Plural(offset));
    CurrentClock().EnableTimePrivilege();  // Windows: the step and the rate want it
    correctorState.lastError = offset;
    p.phasePpm = 0;
    p.phaseEndMs = -1;
    if (std::fabs(offset) > kStepThresholdSeconds) {
        const bool stepped =
            SystemClock().SetClockNs(UnixNsFromNtp(local) + RoundToInt64(offset * kNsPerSecond));
        NoteStep(stepped, offset);
        if (!stepped) return CorrectionAction::kFailedStep;
        SetRate(p.freqPpm);
        return CorrectionAction::kStep;
    }
    // The phase goes by a rate on top of the frequency for kPhaseSeconds, or for as long as the rate's
    // headroom needs.
    NoteSlew();
    const double headroom = std::max(kMaxRatePpm - std::fabs(p.freqPpm), 1.0);
    double seconds = kPhaseSeconds;
    double phase = offset / seconds * 1e6;
    if (std::fabs(phase) > headroom) {
        phase = std::copysign(headroom, offset);
        seconds = std::fabs(offset) / (headroom / 1e6);
    }
    p.phasePpm = phase;
    p.phaseEndMs = MonotonicMs() + RoundToInt64(seconds * 1000);
    SetRate(p.freqPpm + phase);
    return CorrectionAction::kSlew;
}

void PreciseRoundTrip(uint32_t server, double seconds) {
    PreciseDiscipline& p = precise;
    if (server != p.tripServer) {
        p.trips = p.nextTrip = 0;
        p.tripServer = server;
    }
    p.roundTrips[p.nextTrip] = seconds;
    p.nextTrip = (p.nextTrip + 1) % kRoundTrips;
    p.trips = std::min(p.trips + 1, kRoundTrips);
    p.lastTripMs = MonotonicMs();
    if (syncState.fixedDelay) return;
    const double delay = DelayFromRoundTrips(p.roundTrips, p.trips);
    syncState.delay = NtpTime(0, static_cast<uint32_t>(std::min(delay, 0.999) * 4294967295.0));
    syncState.delayValid = 1;
}

void PrecisePollSent(uint32_t server) {
    PreciseDiscipline& p = precise;
    if (server != p.pollServer) return;
    if (p.burstLeft > 0) --p.burstLeft;
    p.nextPollMs = MonotonicMs() + (p.burstLeft > 0 ? kMinPollIntervalMs : kRepollMs);
}

int64_t PreciseDue() {
    PreciseDiscipline& p = precise;
    if (!p.active || p.phaseEndMs < 0) return -1;
    if (MonotonicMs() < p.phaseEndMs) return p.phaseEndMs;
    PreciseHoldRate();
    return -1;
}

void PreciseHoldRate() {
    if (!precise.active) return;
    precise.phasePpm = 0;
    precise.phaseEndMs = -1;
    SetRate(precise.freqPpm);
}

double PreciseResolution() {
    return precise.active ? 3 * precise.fit.spread + kReadingSeconds : -1;
}
