// Starting and stopping a service with its dependants, against the fake
// service manager: requests made, their order, results and messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/service_control.h"
#include "tests/support/fake_service_manager.h"

namespace {

using Strings = std::vector<std::string>;
constexpr uint32_t kStopped = plat::kServiceStopped, kRunning = plat::kServiceRunning;
const char kStartText[] = "Could not start the Quillon SMTP Server";
const std::string kStartFailed = std::string("qlsmtpcg: ") + kStartText;

class ServiceControl : public ::testing::Test {
protected:
    int Run(const char* name, int start, bool applet = true) {
        using Style = qlsmtp::CServiceControl::Style;
        qlsmtp::CServiceControl control(applet ? Style{kStartText, "qlsmtpcg"} : Style{nullptr, "Error"}, &m_fake,
                                        [this](const char* text, const char* caption, int) {
                                            std::string m = std::string(caption) + ": " + text;
                                            m_messages.push_back(m.substr(0, m.find("\n\n")));  // no system text
                                        });
        int r = control.StartStopService(name, start);
        EXPECT_EQ(m_fake.m_openHandles, 0) << "handles left open";
        return r;
    }
    testsupport::CFakeServiceManager m_fake;
    Strings m_messages;
};

// What needs no request, and the answers that count as success where they
// do (1056: already running; 1062: not started) and only there. Refusals
// and time-outs are checked through the setup helper.
TEST_F(ServiceControl, RequestsResultsAndMessages) {
    const struct { int start; uint32_t state; int startError, stopError, result; bool applet; Strings requests,
                   messages; } cases[] = {
        {1, kRunning, 0, 0, 0, true, {}, {}},
        {0, kStopped, 0, 0, 0, true, {}, {}},
        {1, kStopped, 1056, 0, 0, true, {"start S"}, {kStartFailed}},
        {0, kRunning, 0, 1062, 0, true, {"stop S"}, {}},
        {1, kStopped, 1062, 0, -1, false, {"start S"}, {"Service control: ERROR starting service S:"}},
    };
    for (const auto& c : cases) {
        m_fake = testsupport::CFakeServiceManager();
        m_messages.clear();
        auto& s = m_fake.m_services["S"];
        s.state = c.state;
        s.startError = c.startError;
        s.stopError = c.stopError;
        EXPECT_EQ(Run("S", c.start, c.applet), c.result) << c.startError << c.stopError;
        EXPECT_EQ(m_fake.m_requests, c.requests) << c.startError << c.stopError;
        EXPECT_EQ(m_messages, c.messages) << c.startError << c.stopError;
    }
    EXPECT_EQ(Run("missing", 0), -1);
}

TEST_F(ServiceControl, RunningDependantsStopFirstAndStartAfterInListedOrder) {
    for (const char* name : {"S", "A", "B", "D"}) m_fake.m_services[name].state = kRunning;
    m_fake.m_services["S"].dependants = {"B", "A", "C"};
    m_fake.m_services["B"].dependants = {"D"};
    EXPECT_EQ(Run("S", 0), 0);
    EXPECT_EQ(m_fake.m_requests, (Strings{"stop D", "stop B", "stop A", "stop S"}));
    m_fake.m_requests.clear();
    EXPECT_EQ(Run("S", 1), 0);
    EXPECT_EQ(m_fake.m_requests, (Strings{"start S", "start B", "start D", "start A", "start C"}));
    EXPECT_TRUE(m_messages.empty());
}

// A stuck service times out after 100 s on the manager's clock, polled every 10..250 ms.
TEST_F(ServiceControl, StuckServiceTimesOut) {
    auto& s = m_fake.m_services["S"];
    s.state = kRunning;
    s.stateAfterStop = plat::kServiceStopPending;
    s.waitHint = 30000;
    EXPECT_EQ(Run("S", 0), -3);
    uint64_t slept = 0;
    for (uint32_t ms : m_fake.m_sleeps) {
        EXPECT_TRUE(ms >= 10 && ms <= 250) << ms;
        slept += ms;
    }
    EXPECT_TRUE(slept >= 99000 && slept <= 101000) << slept;
    EXPECT_TRUE(m_messages.empty());
}

}  // namespace
