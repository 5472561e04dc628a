#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "Fakes.h"
#include "base/Platform.h"
#include "time/SystemClock.h"
#include "time/VirtualClock.h"

namespace {

class VirtualClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = TestPath("clock");
        std::remove(path_.c_str());
    }
    void TearDown() override {
        ResetPlatform();
        std::remove(path_.c_str());
    }
    void Write(const std::string& text) { std::ofstream(path_) << text; }
    std::map<std::string, std::string> Keys() {
        std::ifstream in(path_);
        std::map<std::string, std::string> keys;
        std::string line;
        while (std::getline(in, line)) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return keys;
    }
    std::string path_;
};

}  // namespace

TEST_F(VirtualClockTest, MissingFileStartsAtRealTimeAndIsWrittenWithEveryKey) {
    VirtualClock clock(path_);
    auto keys = Keys();
    for (const char* key :
         {"offset_ms", "since", "adjustment", "increment", "steps", "adjustments", "refuse_steps"})
        EXPECT_EQ(keys.count(key), 1u) << key;
    EXPECT_EQ(keys["offset_ms"], "0.000000");
    EXPECT_EQ(keys["adjustment"], keys["increment"]);
    const double real = RealUnixSeconds();
    EXPECT_NEAR(clock.VirtualAt(real), real, 1e-6);
}

TEST_F(VirtualClockTest, RunsAtAdjustmentOverIncrementFromSince) {
    Write("offset_ms=-5000\nsince=1000.5\nadjustment=100050\nincrement=100000\ncomment=kept\n");
    VirtualClock clock(path_);
    EXPECT_NEAR(clock.VirtualAt(1000.5), 995.5, 1e-9);
    EXPECT_NEAR(clock.VirtualAt(1100.5), 1100.5 - 5.0 + 0.05, 1e-9);  // 500 ppm for 100 s
    EXPECT_EQ(Keys()["comment"], "kept");
}

TEST_F(VirtualClockTest, StepsAndSlewsAreRecordedAndCounted) {
    Write("offset_ms=-5000\nincrement=100000\n");
    VirtualClock clock(path_);
    InstallPlatform({.clock = &clock});
    const double before = RealUnixSeconds();
    ASSERT_TRUE(SystemClock().SetClock(static_cast<uint32_t>(before) + 100, 0));
    auto keys = Keys();
    EXPECT_EQ(keys["steps"], "1");
    EXPECT_NEAR(std::stod(keys["offset_ms"]), 100000.0 - (before - static_cast<uint32_t>(before)) * 1000, 50);
    ASSERT_TRUE(clock.SetAdjustment(100123));
    keys = Keys();
    EXPECT_EQ(keys["adjustment"], "100123");
    EXPECT_EQ(keys["adjustments"], "1");
    uint32_t adjustment = 0, increment = 0;
    bool disabled = true;
    ASSERT_TRUE(clock.GetAdjustment(adjustment, increment, disabled));
    EXPECT_EQ(adjustment, 100123u);
    EXPECT_FALSE(disabled);
}

TEST_F(VirtualClockTest, RefusesTheRatesTheLinuxClockRefuses) {
    Write("increment=100000\n");
    VirtualClock clock(path_);
    // Linux: the tick within 10 % of nominal, the frequency within 500 ppm, that is 89950 to 110050.
    for (const auto& [adjustment, taken] :
         {std::pair{89950u, true}, {89949u, false}, {110050u, true}, {110051u, false}, {119600u, false}}) {
        EXPECT_EQ(clock.SetAdjustment(adjustment), taken) << adjustment;
        uint32_t now = 0, increment = 0;
        bool disabled = false;
        clock.GetAdjustment(now, increment, disabled);
        if (taken) {
            EXPECT_EQ(now, adjustment);
        }
    }
    EXPECT_EQ(Keys()["adjustments"], "2");
}

TEST_F(VirtualClockTest, RefusedStepsLeaveTheClockAlone) {
    Write("offset_ms=250\nrefuse_steps=1\n");
    VirtualClock clock(path_);
    InstallPlatform({.clock = &clock});
    EXPECT_FALSE(SystemClock().SetClock(0, 0));
    auto keys = Keys();
    EXPECT_EQ(keys["steps"], "0");
    EXPECT_EQ(keys["offset_ms"], "250.000000");
    EXPECT_EQ(keys["refuse_steps"], "1");
}

TEST_F(VirtualClockTest, MillisecondsBeyondTheSecondAreRefusedAsTheSystemClockWould) {
    VirtualClock clock(path_);
    for (int ms : {1000, 65535, -1}) {
        EXPECT_FALSE(clock.SetUtc({1700000000, ms})) << ms;
    }
    EXPECT_EQ(Keys()["steps"], "0");
    EXPECT_TRUE(clock.SetUtc({1700000000, 999}));
    EXPECT_EQ(Keys()["steps"], "1");
}

TEST_F(VirtualClockTest, ReadingGoesThroughTheCalendar) {
    Write("offset_ms=0\nsince=0\n");
    VirtualClock clock(path_);
    InstallPlatform({.clock = &clock});
    const double real = RealUnixSeconds();
    const UtcSeconds u = SystemClock().UtcSecondsNow();
    EXPECT_NEAR(u.seconds + u.milliseconds / 1000.0, real, 0.05);
}

TEST_F(VirtualClockTest, AFileItCannotUseIsReportedAndLeftAlone) {
    const std::string longLine = "comment=" + std::string(504, 'x') + "\n";
    struct Case {
        std::string text;
        const char* reason;
    } cases[] = {
        {"offset_ms=6.7768e19\n", "offset_ms \"6.7768e19\" is not a usable value"},
        {"since=-1e308\nincrement=1\n", "since \"-1e308\" is not a usable value"},
        {"offset_ms=nan\n", "offset_ms \"nan\" is not a usable value"},
        {"offset_ms=-inf\n", "offset_ms \"-inf\" is not a usable value"},
        {"adjustment=4294967296\n", "adjustment \"4294967296\" is not a usable value"},
        {"increment=0\n", "increment \"0\" is not a usable value"},
        {"steps=18446744073709551616\n", "steps \"18446744073709551616\" is not a usable value"},
        {"offset_ms=-5000\n" + longLine, "line 2 is longer than 511 characters"},
    };
    for (const Case& c : cases) {
        Write(c.text);
        VirtualClock clock(path_);
        EXPECT_EQ(clock.Note(), "Virtual clock file \"" + path_ + "\" is unusable: " + c.reason +
                                    "; the virtual clock keeps real time and refuses every change");
        const double real = RealUnixSeconds();
        EXPECT_NEAR(clock.VirtualAt(real), real, 1e-6) << c.text;
        EXPECT_FALSE(clock.SetAdjustment(100010)) << c.text;
        std::ifstream in(path_);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.text);  // left as it was
    }
    Write("offset_ms=-5000\n" + longLine.substr(1));  // 511 characters: still a line
    EXPECT_EQ(VirtualClock(path_).Note(), "");
}

TEST_F(VirtualClockTest, AChangeThatCannotBeSavedIsRefusedAndChangesNothing) {
    path_ = TestPath("no-such-folder") + "/clock";
    VirtualClock clock(path_);
    const double real = RealUnixSeconds();
    EXPECT_FALSE(clock.SetUtc({1700000000, 0}));
    EXPECT_FALSE(clock.SetAdjustment(100123));
    uint32_t adjustment = 0, increment = 0;
    bool disabled = true;
    clock.GetAdjustment(adjustment, increment, disabled);
    EXPECT_EQ(adjustment, increment);
    EXPECT_NEAR(clock.VirtualAt(real), real, 1e-6);
}

TEST_F(VirtualClockTest, AnArmedLeapIsMadeAtItsMidnightAndAStepDropsIt) {
    const double midnight = 1798761600;  // 2027-01-01 00:00:00 UTC
    // The virtual time at these real times from before a leap; inserted, 23:59:59 comes twice.
    const double reals[] = {1000, 1000.6, 1001.6};
    for (const auto& [leap, before, times] : {std::tuple{"insert", 0.5, std::vector{-0.5, -0.9, 0.1}},
                                              std::tuple{"delete", 1.5, std::vector{-1.5, 0.1, 1.1}}}) {
        Write("since=1000\noffset_ms=" + std::to_string((midnight - before - 1000) * 1000) +
              "\nleap=" + leap + "\nleap_at=1798761600\n");
        VirtualClock clock(path_);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(clock.VirtualAt(reals[i]), midnight + times[i], 1e-6) << leap;
    }
    Write("offset_ms=" + std::to_string((1798718400 - RealUnixSeconds()) * 1000) + "\n");  // 2026-12-31 12:00
    VirtualClock clock(path_);
    clock.ArmLeap(LeapSecond::kInsert);
    clock.TellSynchronised(3000, 1500);
    auto keys = Keys();
    EXPECT_EQ((std::vector{keys["leap"], keys["leap_at"], keys["synchronised"], keys["max_error_us"]}),
              (std::vector<std::string>{"insert", "1798761600", "1", "3000"}));
    ASSERT_TRUE(clock.SetUtc({1798722000, 0}));
    EXPECT_EQ(Keys()["leap"], "none");
}

#ifndef _WIN32
TEST_F(VirtualClockTest, ALinkAtThePathIsNeitherReadNorWrittenThrough) {
    const std::string secret = TestPath("secret");
    std::ofstream(secret) << "offset_ms=-5000\npassword=hunter2\n";
    ASSERT_EQ(symlink(secret.c_str(), path_.c_str()), 0);
    {
        VirtualClock clock(path_);
        EXPECT_EQ(clock.Note(),
                  "Virtual clock file \"" + path_ +
                      "\" is unusable: it is a symbolic link; the virtual clock keeps real time "
                      "and refuses every change");
        EXPECT_FALSE(clock.SetAdjustment(100010));
    }
    struct stat info {};
    ASSERT_EQ(lstat(path_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));  // left as it is, and nothing went through it
    std::ifstream in(secret);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "offset_ms=-5000\npassword=hunter2\n");
    std::remove(secret.c_str());
}
#endif
