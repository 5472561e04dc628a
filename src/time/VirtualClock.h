#pragma once

#include <string>
#include <utility>
#include <vector>

#include "time/ClockBackend.h"

// A clock kept in a text file instead of the machine's: real time plus an offset, running at
// adjustment / increment since the last change. Dry runs and tests step and slew it freely.
class VirtualClock final : public ClockBackend {
  public:
    // Loads the file (a missing one starts at offset 0) and writes it back with every key filled in.
    explicit VirtualClock(std::string path);

    void ReadUtc(CalendarTime& now) override;
    bool SetUtc(const CalendarTime& time) override;
    bool GetAdjustment(uint32_t& adjustment, uint32_t& increment, bool& disabled) override;
    bool SetAdjustment(uint32_t adjustment) override;
    void EnableTimePrivilege() override {}

    // Virtual time in seconds since 1970 at the given real time.
    double VirtualAt(double realSeconds) const;

  private:
    void Load();
    void Save() const;

    std::string path_;
    double offsetMs_ = 0.0;
    double since_ = 0.0;
    uint32_t adjustment_ = 0;
    uint32_t increment_ = 0;
    unsigned long long steps_ = 0;
    unsigned long long adjustments_ = 0;
    bool refuseSteps_ = false;
    std::vector<std::pair<std::string, std::string>> otherKeys_;  // kept as found
};

// Installs a virtual clock when ZELKOR_VIRTUAL_CLOCK names a file; returns whether it did.
bool InstallVirtualClockFromEnvironment();

double RealUnixSeconds();
