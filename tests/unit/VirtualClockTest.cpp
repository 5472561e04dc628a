#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "sync/Config.h"
#include "time/SystemClock.h"
#include "time/VirtualClock.h"

namespace {

class VirtualClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "zelkor-virtual-clock-test";
        std::remove(path_.c_str());
    }
    void TearDown() override {
        InstallClock(nullptr);
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
    Write("offset_ms=-5000\n");
    VirtualClock clock(path_);
    InstallClock(&clock);
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

TEST_F(VirtualClockTest, RefusedStepsLeaveTheClockAlone) {
    Write("offset_ms=250\nrefuse_steps=1\n");
    VirtualClock clock(path_);
    InstallClock(&clock);
    EXPECT_FALSE(SystemClock().SetClock(0, 0));
    auto keys = Keys();
    EXPECT_EQ(keys["steps"], "0");
    EXPECT_EQ(keys["offset_ms"], "250.000000");
    EXPECT_EQ(keys["refuse_steps"], "1");
}

TEST_F(VirtualClockTest, MillisecondsBeyondTheSecondAreRefusedAsTheSystemClockWould) {
    VirtualClock clock(path_);
    for (int ms : {1000, 65535, -1}) {
        EXPECT_FALSE(clock.SetUtc(CalendarTime{2023, 11, 14, 22, 13, 20, ms})) << ms;
    }
    EXPECT_EQ(Keys()["steps"], "0");
    EXPECT_TRUE(clock.SetUtc(CalendarTime{2023, 11, 14, 22, 13, 20, 999}));
    EXPECT_EQ(Keys()["steps"], "1");
}

TEST_F(VirtualClockTest, ReadingGoesThroughTheCalendar) {
    Write("offset_ms=0\nsince=0\n");
    VirtualClock clock(path_);
    InstallClock(&clock);
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
    path_ = ::testing::TempDir() + "zelkor-no-such-folder/clock";
    VirtualClock clock(path_);
    const double real = RealUnixSeconds();
    EXPECT_FALSE(clock.SetUtc(CalendarTime{2023, 11, 14, 22, 13, 20, 0}));
    EXPECT_FALSE(clock.SetAdjustment(100123));
    uint32_t adjustment = 0, increment = 0;
    bool disabled = true;
    clock.GetAdjustment(adjustment, increment, disabled);
    EXPECT_EQ(adjustment, increment);
    EXPECT_NEAR(clock.VirtualAt(real), real, 1e-6);
}

#ifndef _WIN32
TEST_F(VirtualClockTest, ALinkAtThePathIsNeitherReadNorWrittenThrough) {
    const std::string secret = ::testing::TempDir() + "zelkor-virtual-clock-secret";
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

TEST(ConfigParsing, MillisecondsAreAnUnsignedDecimalCount) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t value;
    } cases[] = {{"0", true, 0},           {"250", true, 250}, {"4294967295", true, 4294967295u},
                 {"4294967296", false, 0}, {"", false, 0},     {"-1", false, 0},
                 {"+5", false, 0},         {"12ms", false, 0}, {"0x10", false, 0},
                 {" 5", false, 0}};
    for (const Case& c : cases) {
        uint32_t value = 0;
        EXPECT_EQ(ParseCount(c.text, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

#ifndef _WIN32
TEST(ConfigParsing, ALineLongerThanTheParserReadsMakesTheWholeTextUnusable) {
    const std::string comment = ";" + std::string(197, '#');  // 198 characters: read whole
    EXPECT_EQ(ServerModeFromText(("[ZelkorNT]\n" + comment + "\nserver=1\n").c_str()), 1);
    // One more character, and the parser would take the comment's tail for a setting.
    EXPECT_EQ(ServerModeFromText(("[ZelkorNT]\n" + comment + "# server=1 (a comment)\nserver=0\n").c_str()),
              0);
    EXPECT_EQ(ServerModeFromText(("[ZelkorNT]\nserver=1\n" + comment + "##\n").c_str()), 0);
    EXPECT_EQ(ConfiguredDelayFromText(("[Zelkor]\nOffset=250\n" + comment + "##\n").c_str()).kind,
              ConfiguredDelay::kNotConfigured);
    EXPECT_EQ(ServerModeFromText(("[ZelkorNT]\r\n" + comment + "\r\nserver=1\r\n").c_str()), 1);
}
#endif

TEST(ConfigParsing, ServerListsTakeAddressesAndSubnets) {
    struct Case {
        const char* text;
        const char* networks;  // as formatted, blank-separated
        const char* unusable;  // |-separated
    } cases[] = {
        {"10.1.2.3", "10.1.2.3", ""},
        {"10.1.2.3 10.1.0.0/16", "10.1.2.3 10.1.0.0/16", ""},
        {" ,\t10.1.2.3,,10.1.0.0/16 ,", "10.1.2.3 10.1.0.0/16", ""},
        {"10.1.2.3 10.1.2.3", "10.1.2.3 10.1.2.3", ""},  // a duplicate does no harm
        {"10.1.2.3/16", "10.1.0.0/16", ""},              // the subnet it lies in
        {"0.0.0.0/0 10.1.2.3/32", "0.0.0.0/0 10.1.2.3", ""},
        {"10.1.2.3/33 256.1.1.1 10.1.2 1.2.3.4.5", "", "10.1.2.3/33|256.1.1.1|10.1.2|1.2.3.4.5"},
        {"010.1.2.3 1.2.3.4/08 1.2.3.4/ 1.2.3.4/-1 host.lan 1.2.3.4;x", "",
         "010.1.2.3|1.2.3.4/08|1.2.3.4/|1.2.3.4/-1|host.lan|1.2.3.4;x"},
        {"1.2.3.0004 1111.2.3.4 255.255.255.255", "255.255.255.255", "1.2.3.0004|1111.2.3.4"},
        {"", "", ""},
        {" , ", "", ""},
    };
    for (const Case& c : cases) {
        std::vector<AllowedNetwork> networks;
        std::vector<std::string> unusable;
        ParseServerList(c.text, networks, unusable);
        std::string shown, refused;
        for (const AllowedNetwork& n : networks)
            shown.append(shown.empty() ? "" : " ").append(FormatNetwork(n));
        for (const std::string& u : unusable) refused.append(refused.empty() ? "" : "|").append(u);
        EXPECT_EQ(shown, c.networks) << c.text;
        EXPECT_EQ(refused, c.unusable) << c.text;
    }
    std::string many;
    for (int i = 0; i < 65; ++i) many += "10.0.0." + std::to_string(i) + " ";
    std::vector<AllowedNetwork> networks;
    std::vector<std::string> unusable;
    ParseServerList(many, networks, unusable);
    EXPECT_EQ(networks.size(), 64u);
    EXPECT_EQ(unusable, std::vector<std::string>{"10.0.0.64"});
}

TEST(ConfigParsing, ARegistryListIsAStringValue) {
    struct Case {
        long result;
        uint32_t type, size;
        const char* bytes;
        ConfiguredNumber::Kind kind;
        const char* value;
        const char* text;
    } cases[] = {
        {0, 1, 9, "10.0.0.1\0", ConfiguredNumber::kConfigured, "10.0.0.1", ""},
        {0, 1, 8, "10.0.0.1", ConfiguredNumber::kConfigured, "10.0.0.1", ""},  // stored without its NUL
        {0, 4, 4, "\x0a\0\0\x01", ConfiguredNumber::kUnusable, "", "of type 4 and 4 bytes"},
        {234, 1, 4096, "", ConfiguredNumber::kUnusable, "", "of type 1 and more than 4096 bytes"},
        {2, 0, 0, "", ConfiguredNumber::kNotConfigured, "", ""},
    };
    for (const Case& c : cases) {
        const ConfiguredText t = TextFromRegistryValue(c.result, c.type, c.size, c.bytes);
        EXPECT_EQ(t.kind, c.kind) << c.text;
        EXPECT_EQ(t.value, c.value);
        EXPECT_EQ(std::string(t.text), c.text);
    }
}

TEST(ConfigParsing, ProfileIntegersReadTheLeadingDigits) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {{"1", 1},   {"2", 2},   {"0", 0},   {"", 0},
                 {"yes", 0}, {"-1", -1}, {" 7x", 7}, {"99999999999", 0x7FFFFFFF}};
    for (const Case& c : cases) EXPECT_EQ(ParseProfileInt(c.text), c.value) << c.text;
}
