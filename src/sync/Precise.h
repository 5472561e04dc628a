#pragma once

#include <cstdint>

#include "net/Socket.h"
#include "sync/CorrectorState.h"
#include "time/NtpTime.h"

// PreciseTime's discipline. Each accepted broadcast is a sample: when it arrived by the raw clock (which no
// step or rate moves) and the server's transmit time. A least-squares line through the last kFitSamples,
// fitted again without the quarter that queued longest, gives the raw clock's frequency error and the
// server's time at any raw instant; the server's time now plus the delay, less this clock now, is the
// offset. The clock's rate is set to that frequency, and the offset removed by a further rate for
// kPhaseSeconds (longer where the rate bound needs it); an offset beyond kStepThresholdSeconds is stepped.
// The delay is half the least of the last kRoundTrips round trips, each timed on the raw clock less the
// server's holding time: a burst of kBurstPolls on a new server, then one an hour.

constexpr int kFitSamples = 32;
constexpr int kRoundTrips = 8;
constexpr int kBurstPolls = 4;
// The first poll of a burst waits a random part of this: a fleet hearing the same broadcast does not ask
// its server in the same millisecond.
constexpr int64_t kBurstSpreadMs = 4000;
constexpr int64_t kRepollMs = int64_t{3600} * 1000;
constexpr double kPhaseSeconds = 16.0;

// A sample: raw arrival, and the server's time then less the raw clock, in seconds from the discipline's
// base (small numbers, for the fit's precision).
struct TimeSample {
    int64_t rawNs;
    double lead;
};

// The line lead = lead0 + slope * (raw - atRawNs) / 10^9: slope is the raw clock's frequency error (true
// seconds per raw second, less one). Valid with two samples at least, kMinFitSpanSeconds apart.
struct Fit {
    bool valid = false;
    double lead = 0;
    double slope = 0;
    double spread = 0;  // the RMS of the kept samples' residuals, seconds
    int used = 0;
};
constexpr double kMinFitSpanSeconds = 8.0;
Fit FitSamples(const TimeSample* samples, int count, int64_t atRawNs);

// Half the least round trip (seconds); the round trips as they came.
double DelayFromRoundTrips(const double* roundTrips, int count);

struct PreciseDiscipline {
    bool active = false;  // PreciseTime is in force, in client mode
    // The followed server's samples, a ring.
    TimeSample samples[kFitSamples] = {};
    int count = 0;
    int next = 0;
    NtpTime base = NtpTime();
    int64_t baseRawNs = 0;
    int64_t leapShiftedFor = 0;  // the leap midnight (Unix seconds) the samples were shifted for
    // The round trips (seconds) to tripServer, a ring, and when the last came (MonotonicMs).
    uint32_t tripServer = 0;
    double roundTrips[kRoundTrips] = {};
    int trips = 0;
    int nextTrip = 0;
    int64_t lastTripMs = 0;
    // Its polls.
    uint32_t pollServer = 0;
    uint32_t pollKey = 0;
    int pollStratum = 0;
    SocketHandle pollSocket = kInvalidSocket;
    int burstLeft = 0;
    int64_t nextPollMs = -1;
    // The rate: the frequency in force (the fitted one, or the clock's own at the start), and a phase rate
    // on top of it until phaseEndMs.
    double freqPpm = 0;
    double phasePpm = 0;
    int64_t phaseEndMs = -1;
    Fit fit;
    double lastOffset = 0;  // seconds, at the last sample
};

extern PreciseDiscipline precise;

// At the worker's start: active when PreciseTime is in force in client mode, the frequency the clock has.
void StartPrecise(bool active);
// Corrects the clock from an accepted broadcast of sender (its transmit time, its arrival): a sample, the
// fit, then a step or the rate. error: the broadcast's own error in, the offset corrected out. s, key and
// stratum: what its polls are sent with.
CorrectionAction PreciseCorrect(uint32_t sender, bool newServer, NtpTime transmit, const Arrival& arrival,
                                SocketHandle s, uint32_t key, int stratum, double& error);
// A reply's round trip to server, timed on the raw clock less its holding time: the delay in force.
void PreciseRoundTrip(uint32_t server, double seconds);
// A poll sent: the next one of the burst, or in an hour.
void PrecisePollSent(uint32_t server);
// The phase rate ended when due; returns when it is (MonotonicMs), or -1.
int64_t PreciseDue();
// The rate back to the frequency alone (a refused correction, a clean stop).
void PreciseHoldRate();
// The error a correction leaves uncounted besides the delay: the fit's spread three times and the clock's
// reading, seconds; negative when inactive.
double PreciseResolution();
