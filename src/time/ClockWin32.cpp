// The Windows clock: the UTC calendar time in milliseconds, the time adjustment per clock interrupt, and
// the system-time privilege that setting either needs.
//
// PreciseTime, from the platform's documentation:
// - The time is GetSystemTimePreciseAsFileTime (Windows 8 and later): UTC in 100-ns units since 1601, "the
//   highest possible level of precision (<1us)". The raw clock is the performance counter, which no step
//   or rate moves; QueryPerformanceFrequency is its fixed rate, counts per second, known at boot.
// - The rate is GetSystemTimeAdjustmentPrecise / SetSystemTimeAdjustmentPrecise (Windows 10 and later),
//   64-bit forms of GetSystemTimeAdjustment's pair that the documentation names only "the adjusted clock
//   update frequency" A and "the clock update frequency" I, giving no unit. Relied on: as for the 32-bit
//   pair, the clock gains A for each I that passes, so it runs at A / I, and "adjustment disabled" means
//   it runs at its nominal rate. The unit cancels in that ratio, so there is nothing to calibrate; the
//   resolution is one part in I. A and I more than 10 % apart would be in different units: refused.
// - The system-time privilege is needed for both sets (SE_SYSTEMTIME_NAME), as for the 32-bit calls.
// Each call is looked up when the clock is made, so the program runs where a call is missing; PreciseTime
// is then refused at the start. Wine 8 has the precise read but neither precise adjustment call.

#include <windows.h>

#include <climits>
#include <cmath>
#include <ctime>

#include "time/Calendar.h"
#include "time/ClockBackend.h"
#include "time/NtpTime.h"

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerFileTimeUnit = 100;
constexpr int64_t kFileTimeUnitsTo1970 = 116444736000000000;  // 1601-01-01 to 1970-01-01, in 100 ns
// Counts are turned into nanoseconds through their remainder times 10^9, which must fit: a counter of
// up to 9.2 GHz (the fastest in use, the processor's time stamp counter, runs at a few).
constexpr int64_t kMaxCountsPerSecond = INT64_MAX / kNsPerSecond;
// No clock kept by a time service is 10 % off: an A and I further apart are not in one unit.
constexpr double kMaxRatioOffNominal = 0.1;

using PreciseTimeCall = VOID(WINAPI*)(LPFILETIME);
using GetAdjustmentPreciseCall = BOOL(WINAPI*)(PDWORD64, PDWORD64, PBOOL);
using SetAdjustmentPreciseCall = BOOL(WINAPI*)(DWORD64, BOOL);

// kernel32's export, else kernelbase's (the newer calls live there and kernel32 forwards them).
template <typename Call>
Call Lookup(const char* name) {
    static constexpr const char* kModules[] = {"kernel32.dll", "kernelbase.dll"};
    for (const char* module : kModules) {
        const HMODULE loaded = GetModuleHandleA(module);
        const FARPROC found = loaded != nullptr ? GetProcAddress(loaded, name) : nullptr;
        if (found != nullptr) return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
    }
    return nullptr;
}

class Win32Clock final : public ClockBackend {
  public:
    Win32Clock()
        : preciseTime_(Lookup<PreciseTimeCall>("GetSystemTimePreciseAsFileTime")),
          getAdjustmentPrecise_(Lookup<GetAdjustmentPreciseCall>("GetSystemTimeAdjustmentPrecise")),
          setAdjustmentPrecise_(Lookup<SetAdjustmentPreciseCall>("SetSystemTimeAdjustmentPrecise")) {
        LARGE_INTEGER frequency{};
        if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0 &&
            frequency.QuadPart <= kMaxCountsPerSecond)
            countsPerSecond_ = frequency.QuadPart;
    }

    // Windows keeps the calendar: its fields are turned into seconds, and back, here.
    UtcSeconds ReadUtc() override {
        SYSTEMTIME st;
        GetSystemTime(&st);
        const CalendarTime now{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, 0};
        return {SecondsFromCalendar(now), st.wMilliseconds};
    }

    bool SetUtc(UtcSeconds utc) override {
        CalendarTime time{};
        if (utc.milliseconds < 0 || utc.milliseconds > 999 || !BreakDownUtc(utc.seconds, time)) return false;
        time.milliseconds = utc.milliseconds;
        SYSTEMTIME st{};
        st.wYear = static_cast<WORD>(time.year);
        st.wMonth = static_cast<WORD>(time.month);
        st.wDay = static_cast<WORD>(time.day);
        st.wHour = static_cast<WORD>(time.hour);
        st.wMinute = static_cast<WORD>(time.minute);
        st.wSecond = static_cast<WORD>(time.second);
        st.wMilliseconds = static_cast<WORD>(time.milliseconds);
        return SetSystemTime(&st) != 0;
    }

    bool GetAdjustment(uint32_t& adjustment, uint32_t& increment, bool& disabled) override {
        DWORD adj = 0, inc = 0;
        BOOL off = FALSE;
        if (!GetSystemTimeAdjustment(&adj, &inc, &off)) return false;
        adjustment = adj;
        increment = inc;
        disabled = off != FALSE;
        return true;
    }

    // Always with adjustment enabled, so the given value is in force.
    bool SetAdjustment(uint32_t adjustment) override {
        return SetSystemTimeAdjustment(adjustment, FALSE) != 0;
    }

    // Enabled for the whole process; failures show up as refused sets later.
    void EnableTimePrivilege() override {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueA(nullptr, "SeSystemtimePrivilege", &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        CloseHandle(token);
    }

    // Windows keeps its own: the time service's notion of synchronisation, and leap seconds as the
    // system's own setting has them. Zelkor tells it nothing.
    ClockTold TellSynchronised(uint32_t, uint32_t) override { return ClockTold::kNotKept; }
    ClockTold TellUnsynchronised() override { return ClockTold::kNotKept; }
    ClockTold ArmLeap(LeapSecond) override { return ClockTold::kNotKept; }

    // The time read between two counter reads, the raw time taken as their middle.
    bool ReadPrecise(int64_t& unixNs, int64_t& rawNs) override {
        if (preciseTime_ == nullptr || countsPerSecond_ == 0) return false;
        LARGE_INTEGER before{}, after{};
        FILETIME now{};
        if (!QueryPerformanceCounter(&before)) return false;
        preciseTime_(&now);
        if (!QueryPerformanceCounter(&after)) return false;
        const int64_t units =
            static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
        unixNs = (units - kFileTimeUnitsTo1970) * kNsPerFileTimeUnit;
        rawNs = NsFromCounts(before.QuadPart + (after.QuadPart - before.QuadPart) / 2);
        return true;
    }

    // SetSystemTime takes milliseconds, the finest step the documented calls offer: a step lands within
    // half of one, which is enough, as steps are for errors beyond 2 s and the rate takes the rest.
    bool SetUtcNs(int64_t unixNs) override {
        int64_t ms = unixNs / kNsPerMs;
        int64_t rest = unixNs % kNsPerMs;
        if (rest < 0) {
            rest += kNsPerMs;
            --ms;
        }
        if (rest >= kNsPerMs / 2) ++ms;
        int64_t seconds = ms / 1000;
        int milliseconds = static_cast<int>(ms % 1000);
        if (milliseconds < 0) {
            milliseconds += 1000;
            --seconds;
        }
        EnableTimePrivilege();
        return SetUtc({seconds, milliseconds});
    }

    bool GetRatePpm(double& ppm) override {
        DWORD64 adjustment = 0, increment = 0;
        bool disabled = false;
        if (!ReadAdjustmentPrecise(adjustment, increment, disabled)) return false;
        if (disabled) {
            ppm = 0.0;
            return true;
        }
        const double ratio = static_cast<double>(adjustment) / static_cast<double>(increment);
        if (!(std::fabs(ratio - 1.0) <= kMaxRatioOffNominal)) return false;
        ppm = (ratio - 1.0) * 1e6;
        return true;
    }

    bool SetRatePpm(double ppm) override {
        DWORD64 adjustment = 0, increment = 0;
        bool disabled = false;
        if (!(std::fabs(ppm) <= kMaxRatePpm) || setAdjustmentPrecise_ == nullptr ||
            !ReadAdjustmentPrecise(adjustment, increment, disabled))
            return false;
        const int64_t change = RoundToInt64(static_cast<double>(increment) * ppm / 1e6);
        const DWORD64 wanted = static_cast<DWORD64>(static_cast<int64_t>(increment) + change);
        // The precise discipline sets the clock without the corrector, which enables the privilege for the
        // 32-bit calls.
        EnableTimePrivilege();
        return setAdjustmentPrecise_(wanted, FALSE) != 0;
    }

  private:
    PreciseTimeCall preciseTime_;
    GetAdjustmentPreciseCall getAdjustmentPrecise_;
    SetAdjustmentPreciseCall setAdjustmentPrecise_;
    int64_t countsPerSecond_ = 0;  // of the performance counter; 0 where it cannot be used

    int64_t NsFromCounts(int64_t counts) const {
        return counts / countsPerSecond_ * kNsPerSecond +
               counts % countsPerSecond_ * kNsPerSecond / countsPerSecond_;
    }

    // The pair, its increment one a rate can be figured from.
    bool ReadAdjustmentPrecise(DWORD64& adjustment, DWORD64& increment, bool& disabled) const {
        BOOL off = FALSE;
        if (getAdjustmentPrecise_ == nullptr || !getAdjustmentPrecise_(&adjustment, &increment, &off) ||
            increment == 0 || increment > static_cast<DWORD64>(INT64_MAX / 2))
            return false;
        disabled = off != FALSE;
        return true;
    }
};

}  // namespace

ClockBackend& PlatformClock() {
    static Win32Clock clock;
    return clock;
}

bool BreakDownUtc(int64_t unixSeconds, CalendarTime& out) {
    const __time64_t t = static_cast<__time64_t>(unixSeconds);
    tm broken{};
    if (_gmtime64_s(&broken, &t) != 0) return false;
    out = CalendarFromTm(broken);
    return true;
}
