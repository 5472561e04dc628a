// The Linux clock: CLOCK_REALTIME for reading and stepping, adjtimex for the rate.
//
// The adjustment A and increment I are 100-ns units added per clock interrupt, and the clock runs at
// rate A / I. Linux expresses the rate as tick t (microseconds per USER_HZ interrupt, nominal
// 10^6 / USER_HZ) plus frequency f (ppm, scaled by 2^16), and the kernel adds the two:
//     rate = t / (10^6 / USER_HZ) + f / (2^16 * 10^6).
// With I = 10^7 / USER_HZ = 100000 this is exactly
//     A = 10 t + f / 655360,   i.e. one adjustment unit is 10 ppm:
//     t = A div 10 (kept within the kernel's 9000..11000), f = (A - 10 t) * 655360.
// So every A from 89950 to 110050 is set exactly; anything else is refused.

#include <sys/timex.h>
#include <time.h>

#include <cerrno>

#include "time/ClockBackend.h"

namespace {

// Linux counts ticks at USER_HZ = 100 on every architecture it runs on: 10000 us nominal per tick, so
// an increment of 100000 units of 100 ns, and one adjustment unit is 1/100000 of the rate: 10 ppm.
constexpr int64_t kIncrementUnits = 100000;
constexpr int64_t kNominalTickUs = 10000;
constexpr int64_t kUnitsPerTickUs = kIncrementUnits / kNominalTickUs;  // 10
constexpr int64_t kFrequencyPerUnit = int64_t{10} * 65536;             // 10 ppm, scaled by 2^16
constexpr int64_t kMinTickUs = 9000;                                   // the kernel's limits: nominal +-10 %
constexpr int64_t kMaxTickUs = 11000;
constexpr int64_t kMaxFrequencyUnits = 50;  // the kernel's MAXFREQ, 500 ppm

class LinuxClock final : public ClockBackend {
  public:
    void ReadUtc(CalendarTime& now) override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        // The responder reads the clock twice per request: break each second down only once.
        if (ts.tv_sec != cachedSecond_) {
            if (!BreakDownUtc(ts.tv_sec, cached_)) cached_ = CalendarTime{1970, 1, 1, 0, 0, 0, 0};
            cachedSecond_ = ts.tv_sec;
        }
        now = cached_;
        now.milliseconds = static_cast<int>(ts.tv_nsec / 1000000);
    }

    bool SetUtc(const CalendarTime& time) override {
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(UnixSecondsFromCalendar(time));
        ts.tv_nsec = static_cast<long>(time.milliseconds) * 1000000L;
        if (ts.tv_nsec < 0 || ts.tv_nsec >= 1000000000L) return false;
        return clock_settime(CLOCK_REALTIME, &ts) == 0;
    }

    bool GetAdjustment(uint32_t& adjustment, uint32_t& increment, bool& disabled) override {
        timex tx{};
        if (adjtimex(&tx) == -1) return false;
        const int64_t fromTick = static_cast<int64_t>(tx.tick) * kUnitsPerTickUs;
        // Rounded to the nearest unit: a frequency set by another program need not be a whole unit.
        const double units = static_cast<double>(tx.freq) / static_cast<double>(kFrequencyPerUnit);
        adjustment = static_cast<uint32_t>(fromTick + static_cast<int64_t>(units + (units < 0 ? -0.5 : 0.5)));
        increment = static_cast<uint32_t>(kIncrementUnits);
        disabled = false;
        return true;
    }

    bool SetAdjustment(uint32_t adjustment) override {
        int64_t tick = static_cast<int64_t>(adjustment) / kUnitsPerTickUs;
        if (tick < kMinTickUs) tick = kMinTickUs;
        if (tick > kMaxTickUs) tick = kMaxTickUs;
        // What the tick cannot carry goes into the frequency, in whole units of 10 ppm.
        const int64_t remainder = static_cast<int64_t>(adjustment) - tick * kUnitsPerTickUs;
        if (remainder > kMaxFrequencyUnits || remainder < -kMaxFrequencyUnits) {
            errno = EINVAL;
            return false;
        }
        timex tx{};
        tx.modes = ADJ_TICK | ADJ_FREQUENCY;
        tx.tick = static_cast<long>(tick);
        tx.freq = static_cast<long>(remainder * kFrequencyPerUnit);
        return adjtimex(&tx) != -1;
    }

    // Capabilities are fixed when the process starts; there is nothing to enable.
    void EnableTimePrivilege() override {}

  private:
    // Only one thread reads the clock: the one worker.
    time_t cachedSecond_ = -1;
    CalendarTime cached_{};
};

}  // namespace

ClockBackend& PlatformClock() {
    static LinuxClock clock;
    return clock;
}

bool BreakDownUtc(int64_t unixSeconds, CalendarTime& out) {
    const time_t t = static_cast<time_t>(unixSeconds);
    tm broken{};
    if (gmtime_r(&t, &broken) == nullptr) return false;
    out = CalendarFromTm(broken);
    return true;
}
