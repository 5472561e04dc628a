#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif
#include <unistd.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>

#include "base/Platform.h"
#include "service/ErrorText.h"
#include "service/Installer.h"
#include "service/Service.h"
#include "service/ServiceControl.h"
#ifndef _WIN32
#include "service/SystemdUnit.h"
#endif

namespace {

class FakeInstaller final : public ServiceInstaller {
  public:
    std::string failAt;  // the operation that fails
    uint32_t error = 5;
    bool stopAccepted = false;
    int refusals = 0;  // stop requests refused before one is accepted
    uint32_t stateAfterStop = kServiceStopPending;
    std::deque<uint32_t> queries;  // states the queries find; empty: the query fails
    std::string created;
    int sleeps = 0, closes = 0;

    bool OwnPath(char* path, int) override {
        return Step("path") && (std::strcpy(path, "/opt/zelkornt"), true);
    }
    bool CheckProgram(const char*) override { return Step("check"); }
    bool OpenManager() override { return Step("manager"); }
    bool Create(const char* path) override { return Step("create") && (created = path, true); }
    bool Protect() override { return Step("protect"); }
    bool RegisterLogSource(const char* path) override { return Step("source") && (source = path, true); }
    void UnregisterLogSource() override { source.clear(); }
    std::string source;
    bool Open() override { return Step("open"); }
    bool Stop(uint32_t& state) override {
        if (!stopAccepted || refusals-- > 0) return false;
        state = stateAfterStop;
        return true;
    }
    bool Query(uint32_t& state) override {
        if (queries.empty()) return false;
        state = queries.front();
        queries.pop_front();
        return true;
    }
    bool Delete() override { return Step("delete"); }
    void CloseService() override { ++closes; }
    void CloseManager() override { ++closes; }
    void Sleep(uint32_t ms) override {
        EXPECT_EQ(ms, 1000u);
        ++sleeps;
    }
    uint32_t LastError() override { return error; }

  private:
    bool Step(const char* name) { return failAt != name; }
};

// The text as a regular expression that matches only itself.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::strchr(".()[]{}*+?^$|\\", c) != nullptr) out += '\\';
        out += c;
    }
    return out;
}

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override { InstallPlatform({.installer = &installer}); }
    void TearDown() override { ResetPlatform(); }

    std::string Remove() {
        ::testing::internal::CaptureStdout();
        RemoveService();
        return ::testing::internal::GetCapturedStdout();
    }

    FakeInstaller installer;
};

}  // namespace

TEST_F(InstallTest, AddRegistersTheOwnPathAndSaysSo) {
    ::testing::internal::CaptureStdout();
    InstallService();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Service installed\n");
    EXPECT_EQ(installer.created, "/opt/zelkornt");
    EXPECT_EQ(installer.source, "/opt/zelkornt");  // the program's messages, for the Event Log
    EXPECT_EQ(installer.closes, 2);
}

// The error text goes to standard output; the death tests send it to standard error to match it whole.
TEST_F(InstallTest, EveryFailurePrintsTheErrorTextAloneAndExitsWithOne) {
    const std::string expected = "^" + Escaped(ErrorText(installer.error)) + "$";
    ASSERT_NE(expected, "^$");
    for (const char* step : {"path", "check", "manager", "create", "protect", "source"}) {
        installer.failAt = step;
        EXPECT_EXIT(
            {
                dup2(2, 1);
                InstallService();
            },
            ::testing::ExitedWithCode(1), expected)
            << step;
    }
    for (const char* step : {"manager", "open", "delete"}) {
        installer.failAt = step;
        EXPECT_EXIT(
            {
                dup2(2, 1);
                RemoveService();
            },
            ::testing::ExitedWithCode(1), expected)
            << step;
    }
}

#ifndef _WIN32
TEST(InstallCheck, AProgramTheSandboxHidesOrOthersCanReplaceIsRefused) {
    struct Case {
        const char* path;
        uint32_t error;  // 0: accepted
    } cases[] = {
        {"/tmp/zelkornt", kErrorProgramHidden},
        {"/var/tmp/zelkornt", kErrorProgramHidden},
        {"/home/ann/bin/zelkornt", kErrorProgramHidden},
        {"/root/zelkornt", kErrorProgramHidden},
        {"/run/user/1000/zelkornt", kErrorProgramHidden},
        {"/dev/shm/zelkornt", kErrorProgramHidden},
        {"/usr/bin/env", 0},
    };
    ServiceInstaller& installer = PlatformInstaller();
    for (const Case& c : cases) {
        EXPECT_EQ(installer.CheckProgram(c.path), c.error == 0) << c.path;
        if (c.error != 0) {
            EXPECT_EQ(installer.LastError(), c.error) << c.path;
        }
    }
    EXPECT_NE(std::string(ErrorText(kErrorProgramWritable)), "");
    EXPECT_NE(std::string(ErrorText(kErrorProgramHidden)), "");
}

TEST(SystemdUnit, AddWritesTheUnitThisBuildInstallsForItsProgram) {
    std::stringstream installed;
    installed << std::ifstream(ZELKOR_INSTALLED_UNIT).rdbuf();
    std::string unit;
    ASSERT_TRUE(SystemdUnitText(ZELKOR_INSTALLED_PROGRAM, unit));
    EXPECT_EQ(unit, installed.str());
    EXPECT_NE(unit.find("\nExecStart=\"" ZELKOR_INSTALLED_PROGRAM "\"\n"), std::string::npos);
}
#endif

TEST_F(InstallTest, NoTextMeansNothingPrintedButStillExitCodeOne) {
    installer.failAt = "create";
    installer.error = 0x2000FFFF;  // a code no system has a text for
    ASSERT_EQ(std::string(ErrorText(installer.error)), "");
    EXPECT_EXIT(
        {
            dup2(2, 1);
            InstallService();
        },
        ::testing::ExitedWithCode(1), "^$");
}

TEST_F(InstallTest, RemoveOfAStoppedServiceOnlySaysRemoved) {
    EXPECT_EQ(Remove(), "Zelkor removed.\n");
    EXPECT_EQ(installer.sleeps, 0);
}

TEST_F(InstallTest, RemoveShowsADotForEachFurtherSecondOfStopping) {
    struct Case {
        std::deque<uint32_t> queries;
        uint32_t afterStop;
        const char* output;
        int sleeps;
    } cases[] = {
        {{kServiceStopped}, kServiceStopPending, "Stopping Zelkor.\nZelkor stopped.\nZelkor removed.\n", 1},
        {{kServiceStopPending, kServiceStopPending, kServiceStopped},
         kServiceStopPending,
         "Stopping Zelkor...\nZelkor stopped.\nZelkor removed.\n",
         3},
        {{kServiceRunning},
         kServiceStopPending,
         "Stopping Zelkor.\nZelkor failed to stop.\nZelkor removed.\n",
         1},
        // a failed query keeps the last state known: here the one the stop request gave
        {{}, kServiceStopPending, "Stopping Zelkor.\nZelkor failed to stop.\nZelkor removed.\n", 1},
        {{}, kServiceStopped, "Stopping Zelkor.\nZelkor stopped.\nZelkor removed.\n", 1},
        {{kServiceStopPending},
         kServiceStopPending,
         "Stopping Zelkor..\nZelkor failed to stop.\nZelkor removed.\n",
         2},
    };
    for (Case& c : cases) {
        installer.stopAccepted = true;
        installer.stateAfterStop = c.afterStop;
        installer.queries = c.queries;
        installer.sleeps = 0;
        EXPECT_EQ(Remove(), c.output);
        EXPECT_EQ(installer.sleeps, c.sleeps);
    }
}

TEST_F(InstallTest, RemoveAsksAServiceThatRefusesTheStopAgainWhileItRuns) {
    installer.stopAccepted = true;
    installer.refusals = 2;  // still starting, twice
    installer.queries = {kServiceStartPending, kServiceRunning, kServiceStopped};
    EXPECT_EQ(Remove(), "Stopping Zelkor.\nZelkor stopped.\nZelkor removed.\n");
    EXPECT_EQ(installer.sleeps, 3);

    installer.refusals = 100;  // never: given up after 30 requests, and deleted as before
    installer.queries = std::deque<uint32_t>(40, kServiceRunning);
    installer.sleeps = 0;
    EXPECT_EQ(Remove(), "Zelkor removed.\n");
    EXPECT_EQ(installer.sleeps, 29);
}

TEST(ServicePath, QuotedOnlyWhereItHoldsABlank) {
    char out[32];
    ASSERT_TRUE(QuotedWhereBlank("C:\\Zelkor\\zelkornt.exe", out, sizeof out));
    EXPECT_EQ(std::string(out), "C:\\Zelkor\\zelkornt.exe");
    ASSERT_TRUE(QuotedWhereBlank("C:\\Program Files\\z.exe", out, sizeof out));
    EXPECT_EQ(std::string(out), "\"C:\\Program Files\\z.exe\"");
    EXPECT_FALSE(QuotedWhereBlank("C:\\Program Files\\zelkornt-x.exe", out, sizeof out));  // 31 + 2 + 1
}

TEST(ErrorText, TextLessLineEndWithTheCodeInLowerCaseHex) {
    EXPECT_EQ(std::string(ErrorTextFrom(5, "Access is denied.", 19)), "Access is denied. (0x5)");
    EXPECT_EQ(std::string(ErrorTextFrom(0x80070BCD, "x", 3)), "x (0x80070bcd)");
    EXPECT_EQ(std::string(ErrorTextFrom(5, "", 0)), "");
}

TEST(ErrorText, LongestTextThatFits) {
    const std::string text240(240, 'a');  // 242 with the line end: fits
    EXPECT_EQ(std::string(ErrorTextFrom(0x431, text240.c_str(), 242)), text240 + " (0x431)");
    const std::string text241(241, 'a');  // 243: empty
    EXPECT_EQ(std::string(ErrorTextFrom(0x431, text241.c_str(), 243)), "");
}

TEST(ErrorText, TheBufferIsRewrittenByTheNextCall) {
    const char* first = ErrorTextFrom(1, "one", 5);
    const char* second = ErrorTextFrom(2, "two", 5);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::string(first), "two (0x2)");
}

#ifdef _WIN32
TEST(ErrorText, SystemTextForAccessDenied) {
    char* message = nullptr;
    const DWORD n = FormatMessageA(0x3300, nullptr, 5, 0, reinterpret_cast<LPSTR>(&message), 0, nullptr);
    ASSERT_GT(n, 2u);
    const std::string expected = std::string(message, n - 2) + " (0x5)";
    LocalFree(message);
    EXPECT_EQ(std::string(ErrorText(5)), expected);
}
#else
TEST(ErrorText, SystemTextsOnLinux) {
    EXPECT_EQ(std::string(ErrorText(5)), "Input/output error (0x5)");
    EXPECT_EQ(std::string(ErrorText(kErrorServiceExists)),
              "The service zelkor.service is already installed. (0x20000002)");
    EXPECT_EQ(std::string(ErrorText(kErrorNoServiceManager)),
              "This system is not running systemd (there is no /run/systemd/system). (0x20000001)");
    EXPECT_EQ(std::string(ErrorText(4095)), "");  // glibc has no text for it
}
#endif
