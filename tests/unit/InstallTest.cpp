#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>

#include "service/ErrorText.h"
#include "service/Installer.h"
#include "service/Service.h"
#include "service/ServiceControl.h"

namespace {

class FakeInstaller final : public ServiceInstaller {
  public:
    std::string failAt;  // the operation that fails
    uint32_t error = 5;
    bool stopAccepted = false;
    uint32_t stateAfterStop = kServiceStopPending;
    std::deque<uint32_t> queries;  // states the queries find; empty: the query fails
    std::string created;
    int sleeps = 0, closes = 0;

    bool OwnPath(char* path, int) override {
        return Step("path") && (std::strcpy(path, "/opt/zelkornt"), true);
    }
    bool OpenManager() override { return Step("manager"); }
    bool CreateService(const char* path) override { return Step("create") && (created = path, true); }
    bool ProtectService() override { return Step("protect"); }
    bool OpenService() override { return Step("open"); }
    bool StopService(uint32_t& state) override {
        if (!stopAccepted) return false;
        state = stateAfterStop;
        return true;
    }
    bool QueryState(uint32_t& state) override {
        if (queries.empty()) return false;
        state = queries.front();
        queries.pop_front();
        return true;
    }
    bool DeleteService() override { return Step("delete"); }
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

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override { InstallInstaller(&installer); }
    void TearDown() override { InstallInstaller(nullptr); }

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
    EXPECT_EQ(installer.closes, 2);
}

// The error text goes to standard output; the death tests send it to standard error to match it whole.
TEST_F(InstallTest, EveryFailurePrintsTheErrorTextAloneAndExitsWithOne) {
    ASSERT_EQ(std::string(ErrorText(5)), "Input/output error (0x5)");
    for (const char* step : {"path", "manager", "create", "protect"}) {
        installer.failAt = step;
        EXPECT_EXIT(
            {
                dup2(2, 1);
                InstallService();
            },
            ::testing::ExitedWithCode(1), "^Input/output error \\(0x5\\)$")
            << step;
    }
    for (const char* step : {"manager", "open", "delete"}) {
        installer.failAt = step;
        EXPECT_EXIT(
            {
                dup2(2, 1);
                RemoveService();
            },
            ::testing::ExitedWithCode(1), "^Input/output error \\(0x5\\)$")
            << step;
    }
}

TEST_F(InstallTest, NoTextMeansNothingPrintedButStillExitCodeOne) {
    installer.failAt = "create";
    installer.error = 0x2000FFFF;  // a code with no text
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

TEST(ErrorText, SystemTextLessLineEndWithTheCodeInHex) {
    const std::string text = ErrorText(2);
    EXPECT_EQ(text.substr(text.size() - 6), " (0x2)");
    EXPECT_GT(text.size(), 6u);
    EXPECT_EQ(std::string(ErrorText(kErrorServiceExists)),
              "The service zelkor.service is already installed. (0x20000002)");
}

TEST(ErrorText, TheBufferIsRewrittenByTheNextCall) {
    const char* first = ErrorText(kErrorServiceMissing);
    const char* second = ErrorText(kErrorServiceExists);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::string(first), "The service zelkor.service is already installed. (0x20000002)");
}
