#include <gtest/gtest.h>

#include <cmath>

#include "Fakes.h"
#include "config/Settings.h"
#include "service/RunLoop.h"
#include "sync/Precise.h"

namespace {

constexpr int64_t kS = 1000000000;

// The line through the samples, and again without the half that queued longest.
TEST(PreciseFit, ALineThroughTheLeastQueuedSamples) {
    struct Case {
        const char* what;
        std::vector<TimeSample> samples;
        bool valid;
        double lead, slopePpm;
    } cases[] = {
        {"one sample", {{0, 0.001}}, false, 0, 0},
        {"two too near", {{0, 0.001}, {5 * kS, 0.001}}, false, 0, 0},
        {"two 64 s apart, +10 ppm", {{0, 0.001}, {64 * kS, 0.001 + 64e-5}}, true, 0.001 + 64e-5, 10},
        // Sixteen on a line at +2 ppm, with every other one queued by a millisecond: those are left out.
        {"queued every other", {}, true, 0.002 + 15 * 64 * 2e-6, 2},
    };
    for (int i = 0; i < 16; ++i)
        cases[3].samples.push_back({i * 64 * kS, 0.002 + i * 64 * 2e-6 - (i % 2 ? 0.001 : 0)});
    for (const Case& c : cases) {
        const Fit fit =
            FitSamples(c.samples.data(), static_cast<int>(c.samples.size()), c.samples.back().rawNs);
        EXPECT_EQ(fit.valid, c.valid) << c.what;
        if (!c.valid) continue;
        EXPECT_NEAR(fit.lead, c.lead, 1e-9) << c.what;
        EXPECT_NEAR(fit.slope * 1e6, c.slopePpm, 1e-6) << c.what;
    }
    const double trips[] = {0.0031, 0.0020, 0.0044};
    EXPECT_DOUBLE_EQ(DelayFromRoundTrips(trips, 3), 0.0010);
}

class PreciseSettings : public SyncTest {};

// A clock without the precise calls (the fake has none) refuses PreciseTime rather than run without it.
TEST_F(PreciseSettings, AClockWithoutThePreciseCallsRefusesTheStart) {
    std::string refusal;
    EXPECT_FALSE(LoadSettingsFrom(SettingsFromIni("[Zelkor]\nPreciseTime=yes\n", "zelkornt.ini"), refusal));
    EXPECT_EQ(
        refusal,
        "PreciseTime needs the system's precise clock calls (a read in nanoseconds beside a raw clock, a "
        "rate at full resolution), which it lacks; Zelkor does not start");
}

}  // namespace
