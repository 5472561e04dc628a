#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Log.h"
#include "base/Platform.h"
#include "service/ServiceControl.h"
#include "service/Thread.h"

namespace {

class RecordingManager final : public ServiceControlManager {
  public:
    bool registers = true;
    int refuseReport = 0;  // 1-based number of the report to refuse; 0 none
    std::vector<ServiceStatusRecord> reports;

    bool RegisterControlHandler() override { return registers; }
    bool SetStatus(const ServiceStatusRecord& status) override {
        reports.push_back(status);
        return static_cast<int>(reports.size()) != refuseReport;
    }
    std::vector<std::string> logged;
    void Log(Priority priority, EventKind, const char* text) override {
        logged.push_back(std::to_string(static_cast<int>(priority)) + " " + text);
    }
};

// state, controls accepted, check-point, wait hint, exit code, service-specific code
using Report = std::vector<uint32_t>;

class ServiceControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(CreateStopEvent());
        ClearStopEventForTest();
        ResetServiceStatus();
        InstallPlatform({.serviceControl = &manager,
                         .serviceLog = ServiceManagerLog,
                         .statusLine = ServiceManagerStatus});
        runs = 0;
        onRun = nullptr;
    }
    void TearDown() override {
        ResetPlatform();
        ClearStopEventForTest();
        ResetServiceStatus();
    }
    std::vector<Report> Reports() const {
        std::vector<Report> out;
        for (const auto& r : manager.reports) {
            EXPECT_EQ(r.serviceType, 0x10u);
            out.push_back({r.currentState, r.controlsAccepted, r.checkPoint, r.waitHint, r.win32ExitCode,
                           r.serviceSpecificExitCode});
        }
        return out;
    }

    // The run: its worker sets up (the service runs from then), whatever the test asks for while running,
    // then wait for the stop as the run loop does.
    static uint32_t Run() {
        ++runs;
        ServiceManagerStatus("Waiting for time broadcasts", true);
        if (onRun) onRun();
        WaitForStopEvent();
        return 0;
    }
    static inline int runs = 0;
    static inline void (*onRun)() = nullptr;

    RecordingManager manager;
};

}  // namespace

TEST_F(ServiceControlTest, StartAndStopMakeTheFourReportsInOrder) {
    onRun = [] { ServiceControlHandler(kServiceControlStop); };
    ServiceMainWith(Run);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(Reports(),
              (std::vector<Report>{
                  {2, 0, 0, 3000, 0, 0}, {4, 1, 0, 0, 0, 0}, {3, 1, 1, 3000, 0, 0}, {1, 1, 0, 0, 0, 0}}));
}

TEST_F(ServiceControlTest, InterrogationRepeatsTheLastStateWithoutAWaitHint) {
    onRun = [] {
        ServiceControlHandler(kServiceControlInterrogate);  // running: check-point 0, counter unchanged
        ServiceControlHandler(kServiceControlStop);
        ServiceControlHandler(kServiceControlInterrogate);  // stop pending: the next check-point
        ServiceControlHandler(kServiceControlStop);         // a second stop: next check-point, hint 3000
    };
    ServiceMainWith(Run);
    EXPECT_EQ(Reports(), (std::vector<Report>{{2, 0, 0, 3000, 0, 0},
                                              {4, 1, 0, 0, 0, 0},
                                              {4, 1, 0, 0, 0, 0},
                                              {3, 1, 1, 3000, 0, 0},
                                              {3, 1, 2, 0, 0, 0},
                                              {3, 1, 3, 3000, 0, 0},
                                              {1, 1, 0, 0, 0, 0}}));
    EXPECT_TRUE(StopEventIsSet());
}

TEST_F(ServiceControlTest, ControlBeforeTheFirstReportReportsStateZero) {
    ServiceControlHandler(kServiceControlInterrogate);
    EXPECT_EQ(Reports(), (std::vector<Report>{{0, 1, 0, 0, 0, 0}}));
}

TEST_F(ServiceControlTest, RefusedRunningReportEndsTheRunAndReportsTheStop) {
    manager.refuseReport = 2;
    ServiceMainWith(Run);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(Reports(),
              (std::vector<Report>{{2, 0, 0, 3000, 0, 0}, {4, 1, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0}}));
    EXPECT_TRUE(StopEventIsSet());
}

TEST_F(ServiceControlTest, RefusedStartReportEndsTheRunAtOnce) {
    manager.refuseReport = 1;
    ServiceMainWith(Run);  // the StopEvent is already set: the run returns at once
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(Reports(),
              (std::vector<Report>{{2, 0, 0, 3000, 0, 0}, {4, 1, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0}}));
}

TEST_F(ServiceControlTest, RefusedInterrogationWhileRunningStopsTheService) {
    manager.refuseReport = 3;
    onRun = [] { ServiceControlHandler(kServiceControlInterrogate); };
    ServiceMainWith(Run);
    EXPECT_EQ(Reports(),
              (std::vector<Report>{
                  {2, 0, 0, 3000, 0, 0}, {4, 1, 0, 0, 0, 0}, {4, 1, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0}}));
}

TEST_F(ServiceControlTest, AFailedRunStopsTheServiceWithItsCodeAndLogsTheFailure) {
    ServiceMainWith([]() -> uint32_t {
        LogFailure("Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running?");
        LogEvent(Priority::kNotice, "an event, which only ServiceLog lets through");
        return 1;
    });
    // Its worker never set up: the start failed, and was never reported as running.
    EXPECT_EQ(Reports(), (std::vector<Report>{{2, 0, 0, 3000, 0, 0}, {1, 1, 0, 0, 1066, 1}}));
    EXPECT_EQ(ServiceExitCode(), 1u);
    EXPECT_EQ(manager.logged,
              std::vector<std::string>{"3 Couldn't bind NTP socket. (98)  Is Zelkor or Ombrix running?"});
}

TEST_F(ServiceControlTest, UnregisteredHandlerMeansNoReportAndNoRun) {
    manager.registers = false;
    ServiceMainWith(Run);
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(manager.reports.empty());
}
