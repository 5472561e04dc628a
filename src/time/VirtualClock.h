#pragma once

#include <string>
#include <utility>
#include <vector>

#include "time/ClockBackend.h"

// A clock kept in a text file instead of the machine's: real time plus an offset, running at
// adjustment / increment since the last change. Dry runs and tests step and slew it freely. It keeps what
// Linux's kernel would of the synchronised state, and makes an armed leap second as the kernel does.
class VirtualClock final : public ClockBackend {
  public:
    // Loads the file (a missing one starts at offset 0) and writes it back with every key filled in. A
    // file that cannot be used is left alone: the clock then keeps real time and refuses every change.
    explicit VirtualClock(std::string path);

    UtcSeconds ReadUtc() override;
    bool SetUtc(UtcSeconds time) override;
    bool GetAdjustment(uint32_t& adjustment, uint32_t& increment, bool& disabled) override;
    bool SetAdjustment(uint32_t adjustment) override;
    void EnableTimePrivilege() override {}
    ClockTold TellSynchronised(uint32_t maxErrorUs, uint32_t estErrorUs) override;
    ClockTold TellUnsynchronised() override;
    ClockTold ArmLeap(LeapSecond leap) override;
    // The raw clock is the machine's monotonic one, which runs with its real time.
    bool ReadPrecise(int64_t& unixNs, int64_t& rawNs) override;
    bool SetUtcNs(int64_t unixNs) override;
    bool GetRatePpm(double& ppm) override;
    bool SetRatePpm(double ppm) override;

    // Virtual time in seconds since 1970 at the given real time.
    double VirtualAt(double realSeconds) const;

    // Why the file could not be used, as a log line; empty when it was used or missing.
    const std::string& Note() const { return note_; }

  private:
    struct State {
        double offsetMs = 0.0;
        double since = 0.0;
        uint32_t adjustment = 0;
        uint32_t increment = 0;
        double ratePpm = 0.0;  // a precise rate, beside the adjustment's (kept as "rate_ppm" when set)
        unsigned long long steps = 0;
        unsigned long long adjustments = 0;
        bool refuseSteps = false;
        bool synchronised = false;
        unsigned long long maxErrorUs = 0;
        unsigned long long estErrorUs = 0;
        LeapSecond leap = LeapSecond::kNone;
        unsigned long long leapAt = 0;  // virtual Unix seconds: the midnight of the leap to make; 0: none
        std::vector<std::pair<std::string, std::string>> otherKeys;  // kept as found
    };

    bool Load();  // false: the file is there but cannot be used
    bool Parse(const std::string& text, std::string& reason);
    bool Save(const State& state) const;
    bool Commit(const State& next);            // saved first, then in force; false changes nothing
    bool StepTo(double target);                // virtual Unix seconds
    double Unleapt(double realSeconds) const;  // the time without a leap armed
    State Settled(double realSeconds) const;   // the state now, with a leap that was made in the offset

    std::string path_;
    State defaults_;
    State state_;
    std::string note_;
    bool usable_ = true;  // an unusable file is never written: whatever it is, it stays as it was
};

// The virtual clock of the file ZELKOR_VIRTUAL_CLOCK names, made once for the process; null when it names
// none.
VirtualClock* VirtualClockFromEnvironment();
