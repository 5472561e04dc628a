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
//
// The kernel's own state, read and written back with only the bits in question changed (the others are
// another program's, or read-only): synchronised is STA_UNSYNC clear with maxerror and esterror in us; the
// kernel adds 500 us a second to maxerror and sets STA_UNSYNC again past 16 s (NTP_PHASE_LIMIT), and while
// it is clear writes the hardware clock every 11 minutes. STA_PLL stays off: the rate is tick and
// frequency alone. STA_INS or STA_DEL makes it insert or delete a second at its next midnight UTC, on
// whatever day it is set. clock_settime marks the clock unsynchronised and forgets the leap's midnight
// while the bit stays, and the kernel then never makes it: a step clears the bit.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "time/Calendar.h"
#include "time/ClockBackend.h"
#include "time/NtpTime.h"

namespace {

// Linux counts ticks at USER_HZ = 100 on every architecture it runs on: 10000 us nominal per tick, so
// an increment of 100000 units of 100 ns, and one adjustment unit is 1/100000 of the rate: 10 ppm.
constexpr int64_t kIncrementUnits = 100000;
constexpr int64_t kNominalTickUs = 10000;
constexpr int64_t kUnitsPerTickUs = kIncrementUnits / kNominalTickUs;  // 10
constexpr int64_t kFrequencyPerUnit = int64_t{10} * 65536;             // 10 ppm, scaled by 2^16
constexpr int64_t kMinTickUs = 9000;                                   // the kernel's limits: nominal +-10 %
constexpr int64_t kMaxTickUs = 11000;
constexpr int64_t kMaxFrequencyUnits = 50;         // the kernel's MAXFREQ, 500 ppm
constexpr long kUnsynchronisedErrorUs = 16000000;  // NTP_PHASE_LIMIT, what a step leaves in maxerror

// Writes status with the bits of mask replaced by those of bits, and what else modes names from tx;
// nothing when they are already so and modes names nothing else.
bool WriteStatus(timex& tx, int mask, int bits, unsigned int modes) {
    timex now{};
    if (adjtimex(&now) == -1) return false;
    if ((now.status & mask) == bits && modes == 0) return true;
    tx.modes = ADJ_STATUS | modes;
    tx.status = (now.status & ~mask) | bits;
    return adjtimex(&tx) != -1;
}

class LinuxClock final : public ClockBackend {
  public:
    UtcSeconds ReadUtc() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return {static_cast<int64_t>(ts.tv_sec), static_cast<int>(ts.tv_nsec / 1000000)};
    }

    bool SetUtc(UtcSeconds time) override {
        if (time.milliseconds < 0 || time.milliseconds > 999) return false;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(time.seconds);
        ts.tv_nsec = static_cast<long>(time.milliseconds) * 1000000L;
        if (clock_settime(CLOCK_REALTIME, &ts) != 0) return false;
        timex tx{};
        (void)WriteStatus(tx, STA_INS | STA_DEL, 0, 0);
        return true;
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

    ClockTold TellSynchronised(uint32_t maxErrorUs, uint32_t estErrorUs) override {
        timex tx{};
        tx.maxerror = static_cast<long>(maxErrorUs);
        tx.esterror = static_cast<long>(estErrorUs);
        if (!WriteStatus(tx, STA_UNSYNC | STA_PLL, 0, ADJ_MAXERROR | ADJ_ESTERROR)) return ClockTold::kFailed;
        TouchSynchronisedFile();
        return ClockTold::kDone;
    }

    // maxerror too: systemd takes a maxerror below 16 s for synchronised, whatever STA_UNSYNC says.
    ClockTold TellUnsynchronised() override {
        timex tx{};
        tx.maxerror = kUnsynchronisedErrorUs;
        tx.esterror = kUnsynchronisedErrorUs;
        return Told(WriteStatus(tx, STA_UNSYNC, STA_UNSYNC, ADJ_MAXERROR | ADJ_ESTERROR));
    }

    ClockTold ArmLeap(LeapSecond leap) override {
        const int bits = leap == LeapSecond::kInsert ? STA_INS : leap == LeapSecond::kDelete ? STA_DEL : 0;
        timex tx{};
        return Told(WriteStatus(tx, STA_INS | STA_DEL, bits, 0));
    }

    // The realtime read between two raw reads, the raw time taken as their middle.
    bool ReadPrecise(int64_t& unixNs, int64_t& rawNs) override {
        timespec before{}, real{}, after{};
        if (clock_gettime(CLOCK_MONOTONIC_RAW, &before) != 0 || clock_gettime(CLOCK_REALTIME, &real) != 0 ||
            clock_gettime(CLOCK_MONOTONIC_RAW, &after) != 0)
            return false;
        unixNs = Ns(real);
        rawNs = Ns(before) + (Ns(after) - Ns(before)) / 2;
        return true;
    }

    bool ReadPreciseTime(int64_t& unixNs) override {
        timespec real{};
        if (clock_gettime(CLOCK_REALTIME, &real) != 0) return false;
        unixNs = Ns(real);
        return true;
    }

    bool SetUtcNs(int64_t unixNs) override {
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(unixNs / kNsPerSecond);
        ts.tv_nsec = static_cast<long>(unixNs % kNsPerSecond);
        if (ts.tv_nsec < 0) {
            ts.tv_nsec += kNsPerSecond;
            --ts.tv_sec;
        }
        if (clock_settime(CLOCK_REALTIME, &ts) != 0) return false;
        timex tx{};
        (void)WriteStatus(tx, STA_INS | STA_DEL, 0, 0);
        return true;
    }

    // The rate is the tick's and the frequency's together; a precise rate is the frequency alone, at the
    // tick's nominal value, to 2^-16 ppm.
    bool GetRatePpm(double& ppm) override {
        timex tx{};
        if (adjtimex(&tx) == -1) return false;
        ppm = static_cast<double>(tx.tick - kNominalTickUs) * 100.0 + static_cast<double>(tx.freq) / 65536.0;
        return true;
    }

    bool SetRatePpm(double ppm) override {
        if (!(ppm >= -kMaxRatePpm && ppm <= kMaxRatePpm)) {
            errno = EINVAL;
            return false;
        }
        timex tx{};
        tx.modes = ADJ_TICK | ADJ_FREQUENCY;
        tx.tick = static_cast<long>(kNominalTickUs);
        tx.freq = static_cast<long>(RoundToInt64(ppm * 65536.0));
        return adjtimex(&tx) != -1;
    }

  private:
    static ClockTold Told(bool done) { return done ? ClockTold::kDone : ClockTold::kFailed; }
    static constexpr int64_t kNsPerSecond = 1000000000;
    static int64_t Ns(const timespec& ts) {
        return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
    }

    // systemd-time-wait-sync wakes on a step or on this file, as timesyncd touches it: a clock first
    // corrected by a slew would otherwise keep it waiting. Only where systemd runs (/run/systemd), never
    // through a link; one that cannot be touched leaves the kernel told all the same.
    static void TouchSynchronisedFile() {
        struct stat info {};
        if (stat(kSystemdRun, &info) != 0) return;
        (void)mkdir(kTimesyncFolder, 0755);
        const int fd = open(kSynchronisedFile, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) return;
        (void)futimens(fd, nullptr);
        close(fd);
    }
    static constexpr const char* kSystemdRun = "/run/systemd";
    static constexpr const char* kTimesyncFolder = "/run/systemd/timesync";
    static constexpr const char* kSynchronisedFile = "/run/systemd/timesync/synchronized";
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
