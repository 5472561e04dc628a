#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "Fakes.h"
#include "service/Workers.h"
#include "stat/StatusReport.h"
#include "sync/Corrector.h"
#include "sync/CorrectorState.h"
#include "sync/InForce.h"
#include "sync/LeapAndSync.h"
#include "sync/Sntp.h"
#include "sync/Status.h"
#include "sync/SyncState.h"
#include "sync/Tracking.h"
#include "time/SystemClock.h"

namespace {

constexpr int64_t kStartMs = 1700000000000;  // 2023-11-14 22:13:20 UTC
std::vector<std::string> summaries;

class StatusTest : public SyncTest {
  protected:
    void SetUp() override {
        SyncTest::SetUp();
        clock.unixMs = kStartMs;
        summaries.clear();
        platform.statusLine = [](const char* summary, bool) { summaries.emplace_back(summary); };
        InstallPlatform(platform);
        StartStatus(0);
    }
    void TearDown() override { SyncTest::TearDown(); }

    // The status file as written, as {key: value}.
    std::map<std::string, std::string> File() {
        std::ifstream in(StatusFilePath());
        std::map<std::string, std::string> keys;
        std::string line;
        while (std::getline(in, line)) keys[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        return keys;
    }

    void Hear(uint32_t from, int stratum, int64_t errorMs) {
        clock.unixMs += errorMs;
        SntpMessage m = BuildBroadcast(SystemClock().Now());
        clock.unixMs -= errorMs;
        m.bytes[1] = static_cast<uint8_t>(stratum);
        HandleBroadcast(m, from, Now(), 7);
    }
};

StatusFileContent Content(const std::map<std::string, std::string>& keys) {
    StatusFileContent c;
    c.entries.assign(keys.begin(), keys.end());
    return c;
}

}  // namespace

TEST_F(StatusTest, EachEventIsInTheFileAndTheSummary) {
    EXPECT_EQ(File()["state"], "starting");
    const uint32_t a = Ip(10, 1, 2, 3), b = Ip(10, 1, 2, 4);
    Hear(a, 2, 5000);  // a step
    auto keys = File();
    EXPECT_EQ(
        (std::vector<std::string>{keys["state"], keys["server"], keys["stratum"], keys["last_action"],
                                  keys["last_delta_ms"], keys["steps"], keys["last_poll"], keys["updated"]}),
        (std::vector<std::string>{"following", "10.1.2.3", "2", "step", "5000.000", "1", "1700000005",
                                  "1700000005"}));
    EXPECT_EQ(summaries.back(),
              "Following 10.1.2.3 (stratum 2); last correction 5.000 s (step) at 22:13:25 UTC; "
              "delay not known yet");
    clock.refuseSet = true;
    Hear(a, 2, -3000);
    EXPECT_EQ((File()["last_action"]), "failed-step");
    clock.refuseSet = false;
    clock.unixMs += 12000;
    Hear(a, 2, -1);
    Hear(b, 3, 0);  // a worse stratum: ignored
    keys = File();
    EXPECT_EQ((std::vector<std::string>{keys["last_action"], keys["last_delta_ms"], keys["slews"],
                                        keys["failed_steps"], keys["broadcasts_accepted"]}),
              (std::vector<std::string>{"slew", "-1.000", "1", "1", "3"}));
    EXPECT_EQ(statusRecord.broadcastsIgnored, 1u);  // counted; in the file with the next event
    EXPECT_EQ(summaries.back(),
              "Following 10.1.2.3 (stratum 2); last correction -1.00 ms (slew) at 22:13:37 UTC; delay not "
              "known yet");
}

TEST_F(StatusTest, RefusedBroadcastsAndStepsAreInTheFileAndTheSummary) {
    const uint32_t a = Ip(10, 1, 2, 3), rogue = Ip(10, 1, 2, 66);
    std::vector<std::string> unusable;
    settings.serversConfigured = true;
    ParseServerList("10.1.2.0/26", settings.servers, unusable);
    settings.maxStepSeconds = 10;
    Hear(a, 2, 5000);
    Hear(rogue, 1, 3600000);
    Hear(a, 2, 3600000);
    auto keys = File();
    EXPECT_EQ((std::vector<std::string>{keys["allowed_servers"], keys["max_step"], keys["broadcasts_refused"],
                                        keys["last_refused_sender"], keys["steps_refused"],
                                        keys["last_refused_step_ms"], keys["last_refused_step_sender"],
                                        keys["last_refused_step"]}),
              (std::vector<std::string>{"10.1.2.0/26", "10", "1", "10.1.2.66", "1", "3600000.000", "10.1.2.3",
                                        "1700000005"}));
    EXPECT_EQ(summaries.back(),
              "Following 10.1.2.3 (stratum 2); last correction 5.000 s (step) at 22:13:25 UTC; delay not "
              "known yet; refused a step of 3600.000 s from 10.1.2.3 at 22:13:25 UTC");
}

TEST_F(StatusTest, ASetUpFailureIsTheSummaryAndTheFailure) {
    net.failBind = 98;
    EXPECT_EQ(ListenerThread(nullptr), 1u);
    EXPECT_EQ(File()["state"], "failed");
    EXPECT_EQ(File()["failure"], "Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running?");
    EXPECT_EQ(summaries.back(), "Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running?");
}

TEST_F(StatusTest, IgnoredBroadcastsRenewTheFileAtMostOnceASecondAndWhatWaitsWhenItIsUp) {
    const uint32_t a = Ip(10, 1, 2, 3);
    const size_t before = summaries.size();
    for (int i = 0; i < 100; ++i) Hear(a, 0, 0);  // stratum 0: ignored, within a second of the start
    EXPECT_EQ(summaries.size(), before);
    Advance(999);
    EXPECT_EQ(DuePendingWork(), 1);  // the listener wakes for it
    Advance(1);
    EXPECT_EQ(DuePendingWork(), -1);  // written, with nothing more to wait for
    EXPECT_EQ(summaries.size(), before + 1);
    EXPECT_EQ(File()["broadcasts_ignored"], "100");
    Hear(a, 0, 0);
    FlushPendingStatus();  // a clean stop leaves it complete
    EXPECT_EQ(File()["broadcasts_ignored"], "101");
}

TEST(StatusVerdict, FollowsTheRulesOfAMonitoringPlugin) {
    std::map<std::string, std::string> client = {{"version", "1"},
                                                 {"pid", "7"},
                                                 {"mode", "client"},
                                                 {"state", "following"},
                                                 {"updated", "1000"},
                                                 {"server", "10.1.2.3"},
                                                 {"stratum", "2"},
                                                 {"last_broadcast", "1000"},
                                                 {"last_delta_ms", "-0.8"},
                                                 {"last_action", "slew"},
                                                 {"delay_ms", "0.4"},
                                                 {"delay_source", "measured"},
                                                 {"requests_answered", "5"},
                                                 {"broadcasts_accepted", "1"},
                                                 {"broadcasts_ignored", "0"},
                                                 {"broadcasts_sent", "0"},
                                                 {"steps", "0"},
                                                 {"slews", "1"},
                                                 {"failure", ""}};
    auto server = client;
    server["mode"] = "server";
    server["broadcasts_sent"] = "3";
    server["last_broadcast_sent"] = "1000";
    auto refused = client;
    refused["last_broadcast"] = "1500";
    refused["max_step"] = "10";
    refused["last_refused_step"] = "1000";
    refused["last_refused_step_ms"] = "-3600002.000";
    refused["last_refused_step_sender"] = "10.9.9.9";
    struct Case {
        std::map<std::string, std::string> keys;
        const char* key;
        const char* value;
        double now;
        bool running;
        int status;
        const char* line;
    } cases[] = {
        {client, "", "", 1600, true, 0, "Zelkor: synchronised to 10.1.2.3"},
        {client, "", "", 1601, true, 1, "Zelkor: not synchronised: 10.1.2.3 silent for 601 s"},
        {client, "last_action", "failed-step", 1000, true, 1,
         "Zelkor: not synchronised: the last step failed"},
        {client, "last_broadcast", "0", 1000, true, 1, "Zelkor: not synchronised: no broadcast accepted yet"},
        {client, "", "", 1000, false, 2, "Zelkor: not running (process 7 has ended)"},
        {client, "failure", "Couldn't add membership of multicast group (19)", 1000, true, 2,
         "Zelkor: failed: Couldn't add membership of multicast group (19)"},
        {client, "failure",
         "MaxStep \"2\" is not a whole number of seconds of at least 3; Zelkor does not start", 1000, false,
         2,  // the failure ended the service: its reason is the verdict
         "Zelkor: failed: MaxStep \"2\" is not a whole number of seconds of at least 3; Zelkor does not "
         "start"},
        {server, "", "", 1130, true, 0, "Zelkor: broadcasting (server mode)"},
        {server, "", "", 1131, true, 1, "Zelkor: not broadcasting: the last broadcast left 131 s ago"},
        {server, "broadcasts_sent", "0", 1000, true, 1, "Zelkor: not broadcasting: no broadcast sent yet"},
        {client, "allowed_servers", "none", 1000, true, 1,
         "Zelkor: not synchronised: Servers names no usable address, so every broadcast is refused"},
        {refused, "", "", 1600, true, 1,
         "Zelkor: not synchronised: a step of -3600.002 s from 10.9.9.9 was refused 600 s ago (MaxStep is 10 "
         "s)"},
        {refused, "", "", 1601, true, 0, "Zelkor: synchronised to 10.1.2.3"},
    };
    for (Case& c : cases) {
        if (c.key[0] != '\0') c.keys[c.key] = c.value;
        const Verdict v = Judge(Content(c.keys), c.now, c.running);
        EXPECT_EQ(v.exitStatus, c.status) << c.line;
        EXPECT_EQ(v.line, c.line);
    }
}

TEST(StatusVerdict, TextAndJsonOutput) {
    const std::string file =
        "version=1\npid=7\nmode=client\nstate=following\nupdated=1000\nserver=10.1.2.3\nstratum=2\n"
        "server_since=900\nlast_broadcast=988\nlast_delta_ms=-0.800\nlast_action=slew\ndelay_ms=0.410\n"
        "delay_source=measured\nrequests_answered=5\nbroadcasts_accepted=2\nbroadcasts_ignored=1\n"
        "broadcasts_sent=0\nsteps=0\nslews=2\nfailure=\"quoted\"\\\x01\n";
    StatusFileContent content;
    std::string problem;
    ASSERT_TRUE(ParseStatusFile(file, content, problem)) << problem;
    const Verdict v = Judge(content, 1000, true);
    EXPECT_EQ(RenderText(&content, v, 1003),
              "Zelkor: failed: \"quoted\"\\\x01\n"
              "Mode            : client (following)\n"
              "Failure         : \"quoted\"\\\x01\n"
              "Server          : 10.1.2.3, stratum 2, followed for 103 s\n"
              "Last correction : -0.800 ms (slew), 15 s ago\n"
              "Delay           : 0.410 ms (measured)\n"
              "Adjustment      : 0 (increment 0, best guess 0)\n"
              "Requests        : 5 answered\n"
              "Broadcasts      : 2 accepted, 1 ignored\n"
              "Replies         : 0 accepted, 0 refused\n"
              "Corrections     : 0 steps, 0 failed steps, 2 slews\n"
              "Failures        : 0 receive, 0 send\n"
              "Updated         : 3 s ago by process 7\n");
    const std::string json = RenderJson(&content, v);
    EXPECT_EQ(json.substr(0, 47), "{\"version\":1,\"pid\":7,\"mode\":\"client\",\"state\":\"f");
    EXPECT_NE(json.find("\"last_delta_ms\":-0.800,"), std::string::npos);
    EXPECT_NE(json.find("\"failure\":\"\\\"quoted\\\"\\\\\\u0001\",\"verdict\":"), std::string::npos);
    EXPECT_EQ(json.substr(json.size() - 17), "\"exit_status\":2}\n");
}

TEST(StatusVerdict, TheRateTheErrorBoundAndALeapPendingAreShown) {
    const std::string file =
        "version=1\npid=7\nmode=client\nstate=following\nupdated=1000\nserver=10.1.2.3\nstratum=2\n"
        "last_broadcast=990\nlast_delta_ms=0.2\nlast_action=slew\ndelay_ms=1\ndelay_source=configured\n"
        "requests_answered=0\nbroadcasts_accepted=1\nbroadcasts_ignored=0\nbroadcasts_sent=0\nsteps=0\n"
        "slews=1\nfailure=\nadjustment=99980\nincrement=100000\nmax_error_ms=3.200\nest_error_ms=1.700\n"
        "kernel_sync=synchronised\nleap=insert\nleap_at=1798761600\nleaps_ignored=2\n";
    StatusFileContent content;
    std::string problem;
    ASSERT_TRUE(ParseStatusFile(file, content, problem)) << problem;
    EXPECT_NE(RenderText(&content, Judge(content, 1000, true), 1000)
                  .find("Rate            : -200.0 ppm\n"
                        "Error bound     : 3.200 ms, estimated 1.700 ms (kernel: synchronised)\n"
                        "Leap second     : insert at the end of 2026-12-31 UTC; 2 announcements ignored (not "
                        "on 30 June or 31 December)\n"),
              std::string::npos);
}

TEST(StatusVerdict, ARowOf64SubnetsIsShownWhole) {
    std::string servers;
    for (int i = 0; i < 64; ++i) servers += (i ? " 10.1." : "10.1.") + std::to_string(i) + ".0/24";
    const std::string file =
        "version=1\npid=7\nmode=client\nstate=waiting\nupdated=1000\nserver=\nstratum=0\nlast_broadcast=0\n"
        "last_delta_ms=0\nlast_action=\ndelay_ms=0\ndelay_source=none\nrequests_answered=0\n"
        "broadcasts_accepted=0\nbroadcasts_ignored=0\nbroadcasts_sent=0\nsteps=0\nslews=0\nfailure=\n"
        "allowed_servers=" +
        servers + "\n";
    StatusFileContent content;
    std::string problem;
    ASSERT_TRUE(ParseStatusFile(file, content, problem)) << problem;
    const std::string text = RenderText(&content, Judge(content, 1000, true), 1000);
    EXPECT_NE(text.find("Allowed servers : " + servers + "\n"), std::string::npos);
}

TEST(StatusVerdict, MalformedFilesAreToldApart) {
    const std::string good =
        "version=1\npid=7\nmode=client\nstate=waiting\nupdated=1\nserver=\nstratum=0\n"
        "last_broadcast=0\nlast_delta_ms=0.000\nlast_action=\ndelay_ms=0.000\n"
        "delay_source=none\nrequests_answered=0\nbroadcasts_accepted=0\nbroadcasts_ignored=0\n"
        "broadcasts_sent=0\nsteps=0\nslews=0\nfailure=\n";
    struct Case {
        std::string text;
        const char* problem;
    } cases[] = {
        {"", "its first line is not version=1"},
        {"version=2\n" + good.substr(10), "its first line is not version=1"},
        {good.substr(0, good.size() - 1), "it ends in the middle of a line"},
        {good + "no equals sign\n", "line 20 is no key=value line"},
        {good + "Key=1\n", "line 20 is no key=value line"},
        {"version=1\npid=seven\n", "pid is not a number"},
        {"version=1\nstratum=1e3\n", "stratum is not a number"},
        {"version=1\nupdated=-\n", "updated is not a number"},
        {"version=1\nsteps=007\n", "steps is not a number"},
        {"version=1\nmode=client\nmode=server\n", "mode appears twice or is reserved"},
        {"version=1\nverdict=fine\n", "verdict appears twice or is reserved"},
        {"version=1\n", "it has no pid"},
        {std::string("version=1\n\0=1\n", 15), "line 2 is no key=value line"},
    };
    for (const Case& c : cases) {
        StatusFileContent content;
        std::string problem;
        EXPECT_FALSE(ParseStatusFile(c.text, content, problem)) << c.text;
        EXPECT_EQ(problem, c.problem) << c.text;
    }
    StatusFileContent content;
    std::string problem;
    EXPECT_TRUE(ParseStatusFile(good + "extra_key=kept\n", content, problem)) << problem;
}

namespace {

// A synchronised client's file, as {key: value}.
std::map<std::string, std::string> Following(const char* deltaMs) {
    std::istringstream in(
        "version=1 pid=7 mode=client state=following updated=1000 server=10.1.2.3 stratum=2 last_action=slew "
        "last_broadcast=990 delay_ms=0.410 delay_source=measured requests_answered=5 broadcasts_accepted=3 "
        "broadcasts_ignored=0 broadcasts_sent=0 steps=1 slews=2 failure=");
    std::map<std::string, std::string> keys = {{"last_delta_ms", deltaMs}};
    for (std::string entry; in >> entry;)
        keys[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    return keys;
}

}  // namespace

TEST(StatusVerdict, AnOffsetBeyondAThresholdIsAWarningOrCritical) {
    const std::string synced = "Zelkor: synchronised to 10.1.2.3";
    struct Case {
        const char* deltaMs;
        OffsetThresholds thresholds;
        double now;
        int status;
        std::string line;
    } cases[] = {
        {"-250.300", {"0.1", "0.5"}, 1000, 1, synced + ", offset -0.2503 s beyond 0.1 s (warning)"},
        {"600.000", {"0.1", "0.5"}, 1000, 2, synced + ", offset 0.6 s beyond 0.5 s (critical)"},
        {"100.000", {"0.1", ""}, 1000, 0, synced},  // at the threshold is within it
        {"100.001", {"0.1", ""}, 1000, 1, synced + ", offset 0.100001 s beyond 0.1 s (warning)"},
        {"-250.300", {"", "0.5"}, 1000, 0, synced},
        {"-250.300", {"", ""}, 1000, 0, synced},
        // Not synchronised: the old offset is not judged.
        {"900.000", {"0.1", "0.5"}, 1601, 1, "Zelkor: not synchronised: 10.1.2.3 silent for 611 s"},
    };
    for (const Case& c : cases) {
        const StatusFileContent content = Content(Following(c.deltaMs));
        const Verdict v = JudgeOffset(content, Judge(content, c.now, true), c.thresholds);
        EXPECT_EQ(v.exitStatus, c.status) << c.line;
        EXPECT_EQ(v.line, c.line);
    }
}

TEST(StatusVerdict, AThresholdIsAPlainNumberOfSecondsAndWarnIsNoHigherThanCrit) {
    const struct {
        OffsetThresholds thresholds;
        bool usable;
    } cases[] = {{{"0.1", "0.5"}, true}, {{"", "0"}, true},   {{"0.5", "0.5"}, true}, {{"0.5", "0.1"}, false},
                 {{"-1", ""}, false},    {{".1", ""}, false}, {{"1e-1", ""}, false},  {{"0.1s", ""}, false},
                 {{"", "x"}, false},     {{"", "010"}, false}};
    for (const auto& c : cases)
        EXPECT_EQ(UsableThresholds(c.thresholds), c.usable) << c.thresholds.warn << " " << c.thresholds.crit;
}

TEST(StatusVerdict, PerformanceDataFollowsThePluginGuidelines) {
    auto waiting = Following("0");
    waiting["last_broadcast"] = "0";
    waiting["delay_source"] = "none";
    auto server = Following("0");
    server["mode"] = "server";
    const struct {
        std::map<std::string, std::string> keys;
        OffsetThresholds thresholds;
        const char* data;
    } cases[] = {
        {Following("-0.250"),
         {"0.1", "0.5"},
         "offset=-0.00025s;0.1;0.5 delay=0.00041s stratum=2 broadcasts_accepted=3c steps=1c slews=2c "
         "requests_answered=5c"},
        {waiting,
         {"0.1", ""},  // "U": not known, and the empty critical threshold left out
         "offset=U;0.1 delay=U stratum=2 broadcasts_accepted=3c steps=1c slews=2c requests_answered=5c"},
        {server, {"", "1"}, "broadcasts_sent=0c requests_answered=5c"},
    };
    for (const auto& c : cases) {
        const StatusFileContent content = Content(c.keys);
        const std::string text = RenderText(&content, Verdict{0, "Zelkor: fine"}, 1000, &c.thresholds);
        EXPECT_EQ(text.substr(0, text.find('\n')), std::string("Zelkor: fine | ") + c.data);
    }
}

TEST(StatusVerdict, OpenMetricsOutput) {
    auto keys = Following("-0.800");
    keys["server"] = "10.1.2.3\"\\";
    keys["adjustment"] = "99980";
    keys["increment"] = "100000";
    keys["kernel_sync"] = "synchronised";
    const StatusFileContent content = Content(keys);
    const std::string text = RenderOpenMetrics(&content, Verdict{0, ""}, true, 1000.5);
    for (const char* sample :
         {"\nzelkor_up 1\n", "\nzelkor_status 0\n",
          "\nzelkor_info{mode=\"client\",state=\"following\",server=\"10.1.2.3\\\"\\\\\"} 1\n",
          "\nzelkor_tracking_last_offset_seconds -0.0008\n",
          "\nzelkor_tracking_reference_age_seconds 10.500\n", "\nzelkor_tracking_delay_seconds 0.00041\n",
          "\nzelkor_tracking_frequency_ppms -200.000\n", "\nzelkor_kernel_synchronised 1\n",
          "\n# TYPE zelkor_steps counter\n# HELP zelkor_steps Steps of the clock.\nzelkor_steps_total 1\n"})
        EXPECT_NE(text.find(sample), std::string::npos) << sample;
    EXPECT_EQ(text.substr(text.size() - 7), "\n# EOF\n");
    keys["failure"] = "Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running?";
    const StatusFileContent failed = Content(keys);  // the worker ended; the process goes on
    EXPECT_NE(RenderOpenMetrics(&failed, Verdict{2, ""}, true, 1000).find("\nzelkor_up 0\n"),
              std::string::npos);
    EXPECT_EQ(
        RenderOpenMetrics(nullptr, Verdict{3, ""}, false, 1000),
        "# TYPE zelkor_up gauge\n# HELP zelkor_up Whether Zelkor runs and its worker has not failed.\n"
        "zelkor_up 0\n# TYPE zelkor_status gauge\n# HELP zelkor_status The verdict as zelkorstat exits: 0 "
        "synchronised, 1 not, 2 not running or failed, 3 unknown.\nzelkor_status 3\n# EOF\n");
}
