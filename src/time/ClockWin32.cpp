// The Windows clock: the UTC calendar time in milliseconds, the time adjustment per clock interrupt, and
// the system-time privilege that setting either needs.

#include <windows.h>

#include <ctime>

#include "time/Calendar.h"
#include "time/ClockBackend.h"

namespace {

class Win32Clock final : public ClockBackend {
  public:
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
