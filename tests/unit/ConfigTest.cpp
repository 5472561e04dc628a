#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "auth/Keys.h"
#include "config/Ini.h"
#include "config/Networks.h"
#include "config/Parse.h"
#include "config/Settings.h"

namespace {

using Lines = std::vector<std::string>;

// The judgement's lines as "in force: ...", "ignored: ..." and "refused: ...".
Lines Judge(const std::string& ini, Settings& settings, bool& ok, const std::vector<uint32_t>& loaded = {}) {
    const FoundSettings found = SettingsFromIni(ini, "/etc/zelkornt.ini");
    std::vector<SettingLine> lines;
    ok = JudgeSettings(found, settings, lines);
    if (found.unusable.empty()) ok = JudgeKeySettings(found, loaded, settings, lines) && ok;
    Lines out;
    for (const SettingLine& l : lines)
        out.push_back((l.kind == SettingLine::kInForce   ? "in force: "
                       : l.kind == SettingLine::kIgnored ? "ignored: "
                                                         : "refused: ") +
                      l.text);
    return out;
}

}  // namespace

TEST(ConfigParsing, IniTextIsTakenWholeOrNotAtAll) {
    struct Case {
        std::string text;
        std::string entries;  // section/name=value|..., or the problem
    } cases[] = {
        {"[Zelkor]\nOffset = 250 ; ms\nServers=10.0.0.1;x\n", "Zelkor/Offset=250|Zelkor/Servers=10.0.0.1;x"},
        {"\xEF\xBB\xBF[ZelkorNT]\r\nserver: 1\r\n# c\n; c\n\n", "ZelkorNT/server=1"},
        {"[Zelkor]\nMaxStep=10   # seconds\n", "Zelkor/MaxStep=10   # seconds"},
        {"[Zelkor]\nMaxStep 10\n", "line 2 is no section, setting or comment"},
        {"[Zelkor]\n  10.0.0.2\n", "line 2 is no section, setting or comment"},
        {"[Zelkor\n", "line 1 is not a section name in brackets"},
        {"[Zelkor] x\n", "line 1 is not a section name in brackets"},
        {"[Zelkor]\n=5\n", "line 2 is no section, setting or comment"},
        {std::string("[Zelkor]\nOffset=1\0\n", 19), "it holds a NUL byte"},
        {"[Zelkor]\nServers=" + std::string(4088, '1') + "\n", "Zelkor/Servers=" + std::string(4088, '1')},
        {"[Zelkor]\nServers=" + std::string(4089, '1') + "\n", "line 2 is longer than 4096 characters"},
    };
    for (const Case& c : cases) {
        std::vector<IniEntry> entries;
        std::string problem, shown;
        if (ParseIni(c.text, entries, problem)) {
            for (const IniEntry& e : entries)
                shown.append(shown.empty() ? "" : "|").append(e.section + "/" + e.name + "=" + e.value);
        } else {
            shown = problem;
        }
        EXPECT_EQ(shown, c.entries) << c.text.substr(0, 40);
    }
}

TEST(ConfigParsing, ASettingThatCannotBeUsedRefusesTheStart) {
    struct Case {
        const char* ini;
        bool ok;
        Lines lines;
    } cases[] = {
        {"[zelkor]\nservers = 10.0.0.1, 10.0.1.9/24 300.1.1.1\nMAXSTEP=60\n",
         true,
         {"ignored: Servers entry \"300.1.1.1\" is not an IPv4 address or subnet; it is ignored",
          "in force: Following time broadcasts only from 10.0.0.1 10.0.1.0/24",
          "in force: MaxStep is 60 seconds"}},
        {"[Zelkor]\nServers=\n", false, {"refused: Servers names no usable address or subnet"}},
        {"[Zelkor]\nServers=300.1.1.1\n",
         false,
         {"ignored: Servers entry \"300.1.1.1\" is not an IPv4 address or subnet; it is ignored",
          "refused: Servers names no usable address or subnet"}},
        {"[Zelkor]\nMaxStep=2\n",
         false,
         {"refused: MaxStep \"2\" is not a whole number of seconds of at least 3"}},
        {"[Zelkor]\nMaxStep=10s\n",
         false,
         {"refused: MaxStep \"10s\" is not a whole number of seconds of at least 3"}},
        {"[Zelkor]\nMaxStep=10   # seconds\n",
         false,
         {"refused: MaxStep \"10   # seconds\" is not a whole number of seconds of at least 3"}},
        {"[Zelkor]\nKeys=\n", false, {"refused: Keys \"\" is not a path"}},
        {"[Zelkor]\nServiceLog=maybe\nRtcSync=yes\n",
         false,
         {"refused: ServiceLog \"maybe\" is not yes or no"}},
        {"[Zelkor]\nPreciseTime=yse\n", false, {"refused: PreciseTime \"yse\" is not yes or no"}},
        {"[Zelkor]\nTrustedKeys=1 2 x 2\nBroadcastKey=2\n",
         true,
         {"ignored: TrustedKeys entry \"x\" is not a key ID from 1 to 65534; it is ignored",
          "ignored: TrustedKeys names key 1, which no keys file line gives",
          "in force: Accepting time broadcasts only under keys 2"}},
        {"[Zelkor]\nTrustedKeys=1\nBroadcastKey=7\n",
         false,
         {"ignored: TrustedKeys names key 1, which no keys file line gives",
          "refused: TrustedKeys names no usable key", "refused: BroadcastKey \"7\" is no loaded key"}},
        // A defence given where it is not read refuses the start; other names are only ignored.
        {"[Zelkor]\nServer=10.0.0.1\n[ZelkorNT]\nserver=1\nServers=x\n[Zelkr]\nMaxStep=1\nx=2\n",
         false,
         {"ignored: Unknown setting \"Server\" in [Zelkor] on line 2; it is ignored",
          "ignored: Unknown section [Zelkr] on line 6; its settings are ignored",
          "refused: Setting \"Servers\" on line 5 is in [ZelkorNT], not in [Zelkor]",
          "refused: Setting \"MaxStep\" on line 7 is in [Zelkr], not in [Zelkor]"}},
        {"Offset=250\nx=1\n",
         false,
         {"ignored: Setting \"x\" on line 2 is in no section; it is ignored",
          "refused: Setting \"Offset\" on line 1 is in no section, not in [Zelkor]"}},
        {"[Zelkor]\nServers=10.1.2.3/0 10.1.0.0/8\n",
         false,
         {"refused: Servers entry \"0.0.0.0/0\" admits most of the Internet (a prefix shorter than /8); name "
          "the "
          "LAN's servers or subnets"}},
        {"[Zelkor]\nRateLimit=2, 16\n",
         true,
         {"in force: Answering each source once every 2 s on average, 16 at most at once"}},
        {"[Zelkor]\nRateLimit=2\n",
         false,
         {"refused: RateLimit \"2\" is not an interval of 1 to 3600 seconds and a burst of 1 to 1024, such "
          "as "
          "\"2 16\", nor off"}},
        {"[Zelkor]\nRateLimit=0 16\n",
         false,
         {"refused: RateLimit \"0 16\" is not an interval of 1 to 3600 seconds and a burst of 1 to 1024, "
          "such "
          "as \"2 16\", nor off"}},
        {"[Zelkor]\nRateLimit=off\n", true, {}},
        {"[ZelkorNT]\nserver\n",
         false,
         {"refused: Configuration file \"/etc/zelkornt.ini\" is unusable: line 2 is no section, setting or "
          "comment"}},
        {"[Zelkor]\nOffset=250ms\n", true, {}},  // the listener says so, and measures instead
    };
    for (const Case& c : cases) {
        Settings settings;
        bool ok = false;
        EXPECT_EQ(Judge(c.ini, settings, ok, {2, 3}), c.lines) << c.ini;
        EXPECT_EQ(ok, c.ok) << c.ini;
    }
    Settings s;
    bool ok = false;
    Judge(
        "[Zelkor]\nOffset=250\nTrustedKeys=3, 2 "
        "3\nBroadcastKey=3\nServiceLog=Yes\nRtcSync=off\n[ZelkorNT]\nserver=2\n",
        s, ok, {2, 3});
    EXPECT_TRUE(ok);
    EXPECT_EQ((std::tuple(s.serverMode, s.fixedDelay, s.offsetMs, s.trusted, s.broadcastKey, s.serviceLog,
                          s.rtcSync)),
              (std::tuple(2, true, 250u, std::vector<uint32_t>{3, 2}, 3u, true, false)));
}

TEST(ConfigParsing, OnlyAFourByteDwordIsANumberAndOnlyAStringAText) {
    struct Case {
        bool dword;
        long result;
        uint32_t type, size;
        const char* bytes;
        const char* found;  // "number N", "text T", "unusable U" or "absent"
    } cases[] = {
        {true, 0, 4, 4, "\xFA\0\0\0", "number 250"},
        {true, 0, 4, 4, "\x01\x02\x03\x04", "number 67305985"},
        {true, 0, 1, 4, "250", "unusable of type 1 and 4 bytes"},  // REG_SZ "250" would read as 3,159 s
        {true, 0, 3, 4, "\xFA\0\0\0", "unusable of type 3 and 4 bytes"},
        {true, 0, 4, 2, "\xFA\0\0\0", "unusable of type 4 and 2 bytes"},
        {true, 234, 11, 8, "", "unusable of type 11 and more than 4 bytes"},
        {true, 2, 4, 4, "\xFA\0\0\0", "absent"},
        {false, 0, 1, 9, "10.0.0.1\0", "text 10.0.0.1"},
        {false, 0, 1, 8, "10.0.0.1", "text 10.0.0.1"},  // stored without its NUL
        {false, 0, 4, 4, "\x0a\0\0\x01", "unusable of type 4 and 4 bytes"},
        {false, 234, 1, 4096, "", "unusable of type 1 and more than 4096 bytes"},
        {false, 2, 0, 0, "", "absent"},
    };
    for (const Case& c : cases) {
        const FoundValue v =
            c.dword ? DwordFromRegistry(c.result, c.type, c.size, reinterpret_cast<const uint8_t*>(c.bytes))
                    : TextFromRegistry(c.result, c.type, c.size, c.bytes);
        const std::string shown = v.kind == FoundValue::kNumber     ? "number " + std::to_string(v.number)
                                  : v.kind == FoundValue::kText     ? "text " + v.text
                                  : v.kind == FoundValue::kUnusable ? "unusable " + v.shown
                                                                    : "absent";
        EXPECT_EQ(shown, c.found);
    }
    EXPECT_EQ(
        UnknownProfileNames({"ZelkorNT", "Zelkor"}, {"server", "Offset"}),
        (Lines{"Unknown section [Zelkor] in zelkornt.ini; its settings are ignored (on Windows they are "
               "registry values of the service)",
               "Unknown setting \"Offset\" in [ZelkorNT] of zelkornt.ini; it is ignored"}));
}

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

TEST(ConfigParsing, ProfileIntegersReadTheLeadingDigits) {
    struct Case {
        const char* text;
        int value;
    } cases[] = {{"1", 1},   {"2", 2},   {"0", 0},   {"", 0},
                 {"yes", 0}, {"-1", -1}, {" 7x", 7}, {"99999999999", 0x7FFFFFFF}};
    for (const Case& c : cases) EXPECT_EQ(ParseProfileInt(c.text), c.value) << c.text;
}

// /etc/zelkor/conf.d after /etc/zelkornt.ini: a later value replaces an earlier one, a later file's lines
// name it, and one file that cannot be used refuses the whole.
TEST(ConfigParsing, SiteFilesOverrideThePackagesAndAreJudgedAsOne) {
    struct Case {
        const char* site;
        bool ok;
        Lines lines;
    } cases[] = {
        {"[Zelkor]\nMaxStep=10\n", true, {"in force: MaxStep is 10 seconds"}},
        {"[Zelkor]\nMaxStep=10s\n",
         false,
         {"refused: MaxStep \"10s\" is not a whole number of seconds of at least 3"}},
        {"[ZelkorNT]\nserver=1\n", true, {}},
        {"MaxStep=10\n",
         false,
         {"refused: site.ini: Setting \"MaxStep\" on line 1 is in no section, not in [Zelkor]",
          "in force: MaxStep is 60 seconds"}},
        {"[Zelkor]\nx\n",
         false,
         {"refused: Configuration file \"site.ini\" is unusable: line 2 is no section, setting or comment"}},
    };
    for (const Case& c : cases) {
        FoundSettings found = SettingsFromIni("[Zelkor]\nMaxStep=60\nRtcSync=yes\n", "zelkornt.ini");
        MergeSettings(found, SettingsFromIni(c.site, "site.ini"));
        Settings settings;
        std::vector<SettingLine> lines;
        EXPECT_EQ(JudgeSettings(found, settings, lines), c.ok) << c.site;
        Lines shown;
        for (const SettingLine& line : lines)
            shown.push_back(std::string(line.kind == SettingLine::kInForce   ? "in force: "
                                        : line.kind == SettingLine::kIgnored ? "ignored: "
                                                                             : "refused: ") +
                            line.text);
        EXPECT_EQ(shown, c.lines) << c.site;
        EXPECT_TRUE(!c.ok || settings.rtcSync) << c.site;
    }
}
