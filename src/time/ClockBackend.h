#pragma once

#include <cstdint>

// UTC time with milliseconds, the form in which the system clock is read and set.
struct UtcSeconds {
    int64_t seconds;   // since 1970-01-01 00:00:00 UTC
    int milliseconds;  // 0 to 999
};

// What the platform keeps besides the time and the rate: whether the clock is synchronised, within what
// error, and a leap second to come. Linux's kernel keeps it (adjtimex); the virtual clock keeps it in its
// file; Windows keeps its own and is told nothing.
enum class ClockTold { kDone, kNotKept, kFailed };
enum class LeapSecond { kNone, kInsert, kDelete };

// Every access to the machine's clock goes through one backend: the platform's own, the virtual clock
// of dry runs, or a fake in tests.
class ClockBackend {
  public:
    virtual ~ClockBackend() = default;
    virtual UtcSeconds ReadUtc() = 0;
    virtual bool SetUtc(UtcSeconds time) = 0;  // false for milliseconds beyond 0 to 999
    // The time adjustment and the nominal increment, both in 100-ns units per clock interrupt.
    virtual bool GetAdjustment(uint32_t& adjustment, uint32_t& increment, bool& disabled) = 0;
    virtual bool SetAdjustment(uint32_t adjustment) = 0;
    virtual void EnableTimePrivilege() = 0;
    // The clock is synchronised: its error is at most maxErrorUs and about estErrorUs (microseconds).
    virtual ClockTold TellSynchronised(uint32_t maxErrorUs, uint32_t estErrorUs) = 0;
    virtual ClockTold TellUnsynchronised() = 0;
    // A second to insert or delete at the next midnight UTC by this clock; kNone disarms. A step drops a
    // leap armed before it.
    virtual ClockTold ArmLeap(LeapSecond leap) = 0;

    // PreciseTime. The clock in nanoseconds since 1970, read together with a raw clock (nanoseconds from
    // any origin) that no step or rate moves: the oscillator itself. A step to the nanosecond. The rate as
    // its offset from nominal in ppm, at the platform's full resolution: the clock then runs against the
    // raw one at 1 + ppm / 10^6. False where the backend has none of it (the default).
    virtual bool ReadPrecise(int64_t& unixNs, int64_t& rawNs);
    // The time alone, for a reply's transmit time: by default ReadPrecise's.
    virtual bool ReadPreciseTime(int64_t& unixNs);
    virtual bool SetUtcNs(int64_t unixNs);
    virtual bool GetRatePpm(double& ppm);
    virtual bool SetRatePpm(double ppm);
};

// The largest rate offset a clock is asked for, as Linux's kernel (MAXFREQ) and Windows allow.
constexpr double kMaxRatePpm = 500.0;

// The backend in force: the platform record's, else the machine's own.
ClockBackend& CurrentClock();
ClockBackend& PlatformClock();
