// Starting and stopping a service with its dependants, against the fake
// service manager: requests made, their order, results and messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/service_control.h"
#include "tests/support/fake_service_manager.h"

namespace {

using qlsmtp::CServiceControl;
using testsupport::CFakeServiceManager;

constexpr uint32_t kStopped = plat::kServiceStopped;
constexpr uint32_t kRunning = plat::kServiceRunning;

class ServiceControl : public ::testing::Test {
protected:
    int Run(const char* name, int start, bool applet = true) {
        CServiceControl::Style style = applet ? CServiceControl::Style{"Could not start the Quillon SMTP Server", "qlsmtpcg"}
                                              : CServiceControl::Style{nullptr, "Error"};
        CServiceControl control(style, &m_fake, [this](const char* text, const char* caption, int) {
            m_messages.push_back(std::string(caption) + ": " + text);
        });
        int r = control.StartStopService(name, start);
        EXPECT_EQ(m_fake.m_openHandles, 0) << "handles left open";
        return r;
    }
    CFakeServiceManager::Service& Svc(const std::string& name, uint32_t state) {
        auto& s = m_fake.m_services[name];
        s.state = state;
        return s;
    }

    CFakeServiceManager m_fake;
    std::vector<std::string> m_messages;
};

using Strings = std::vector<std::string>;

TEST_F(ServiceControl, RequestsAndResults) {
    struct Case {
        const char* what;
        int start;
        uint32_t state;
        int startError, stopError;
        int result;
        Strings requests;
        uint32_t finalState;
    } cases[] = {
        {"start of a running service", 1, kRunning, 0, 0, 0, {}, kRunning},
        {"start of a stopped service", 1, kStopped, 0, 0, 0, {"start S"}, kRunning},
        {"stop of a running service", 0, kRunning, 0, 0, 0, {"stop S"}, kStopped},
        {"stop of a stopped service", 0, kStopped, 0, 0, 0, {}, kStopped},
        {"1056 on start counts as success", 1, kStopped, 1056, 0, 0, {"start S"}, kStopped},
        {"1062 on stop counts as success", 0, kRunning, 0, 1062, 0, {"stop S"}, kRunning},
        {"1069 on start is a log-on failure", 1, kStopped, 1069, 0, -2, {"start S"}, kStopped},
    };
    for (const Case& c : cases) {
        m_fake = CFakeServiceManager();
        m_messages.clear();
        auto& s = Svc("S", c.state);
        s.startError = c.startError;
        s.stopError = c.stopError;
        EXPECT_EQ(Run("S", c.start), c.result) << c.what;
        EXPECT_EQ(m_fake.m_requests, c.requests) << c.what;
        EXPECT_EQ(m_fake.m_services["S"].state, c.finalState) << c.what;
        // The applet's start message only for the refused start, and no
        // "ERROR" box for any of these.
        Strings expected;
        if (c.startError) expected.push_back("qlsmtpcg: Could not start the Quillon SMTP Server");
        EXPECT_EQ(m_messages, expected) << c.what;
    }
}

TEST_F(ServiceControl, RunningDependantsStopFirstInListedOrder) {
    Svc("S", kRunning).dependants = {"B", "A", "C"};
    Svc("A", kRunning);
    Svc("B", kRunning).dependants = {"D"};
    Svc("C", kStopped);
    Svc("D", kRunning);
    EXPECT_EQ(Run("S", 0), 0);
    EXPECT_EQ(m_fake.m_requests, (Strings{"stop D", "stop B", "stop A", "stop S"}));
    EXPECT_TRUE(m_messages.empty());

    // Started again: the service first, then its stopped dependants.
    m_fake.m_requests.clear();
    EXPECT_EQ(Run("S", 1), 0);
    EXPECT_EQ(m_fake.m_requests, (Strings{"start S", "start B", "start D", "start A", "start C"}));
}

TEST_F(ServiceControl, StoppedServiceStillStopsItsRunningDependants) {
    Svc("S", kStopped).dependants = {"A"};
    Svc("A", kRunning);
    EXPECT_EQ(Run("S", 0), 0);
    EXPECT_EQ(m_fake.m_requests, (Strings{"stop A"}));
}

TEST_F(ServiceControl, RefusedRequestsShowTheSystemText) {
    Svc("S", kRunning).stopError = 1051;  // a dependant still runs
    EXPECT_EQ(Run("S", 0), -1);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0].rfind("Service control: ERROR stopping service S:\n\n", 0), 0u) << m_messages[0];

    // 1062 answers a start only by mistake: not a success there. The setup
    // helper's style shows no start message of its own.
    m_messages.clear();
    Svc("S", kStopped).startError = 1062;
    EXPECT_EQ(Run("S", 1, false), -1);
    ASSERT_EQ(m_messages.size(), 1u);
    EXPECT_EQ(m_messages[0].rfind("Service control: ERROR starting service S:", 0), 0u) << m_messages[0];

    m_messages.clear();
    EXPECT_EQ(Run("missing", 0), -1);
    ASSERT_EQ(m_messages.size(), 0u) << "an unopened service returns before the final check";
}

TEST_F(ServiceControl, StuckServiceTimesOutOnTheManagersClockWithoutSpinning) {
    auto& s = Svc("S", kRunning);
    s.stateAfterStop = plat::kServiceStopPending;
    s.waitHint = 30000;
    EXPECT_EQ(Run("S", 0), -3);
    EXPECT_TRUE(m_messages.empty());
    ASSERT_FALSE(m_fake.m_sleeps.empty());
    uint64_t slept = 0;
    for (uint32_t ms : m_fake.m_sleeps) {
        EXPECT_GE(ms, 10u);
        EXPECT_LE(ms, 250u);
        slept += ms;
    }
    EXPECT_GE(slept, 99000u);
    EXPECT_LE(slept, 101000u);

    // A start that never reaches running: the applet's message, then -3.
    m_fake.m_sleeps.clear();
    s.state = kStopped;
    s.stateAfterStart = plat::kServiceStartPending;
    s.waitHint = 0;
    EXPECT_EQ(Run("S", 1), -3);
    EXPECT_EQ(m_messages, (Strings{"qlsmtpcg: Could not start the Quillon SMTP Server"}));
    EXPECT_EQ(m_fake.m_sleeps.front(), 10u);
}

}  // namespace
