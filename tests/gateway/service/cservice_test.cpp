// The service's protocol with its service manager, through a fake manager:
// the status reports of a start, an interrogation and a stop, of a stop
// that comes during the start-up, and of a start that fails.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "common/settings_names.h"
#include "gateway/service/cservice.h"
#include "platform/service.h"
#include "test_util.h"

namespace {

struct Report {
    uint32_t state, accepted, exitCode, specificCode, checkpoint, waitHint;
    bool operator==(const Report&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Report& r) {
    return os << "{state " << r.state << ", accepted " << r.accepted << ", exit " << r.exitCode << "/"
              << r.specificCode << ", checkpoint " << r.checkpoint << ", wait " << r.waitHint << "}";
}

// A service manager that runs the service main on a thread of its own,
// delivers the test's controls on the dispatcher's thread, and records every
// status report.
class FakeServiceControl : public plat::IServiceControl {
public:
    bool RunServiceDispatcher(const char* /*name*/, plat::ServiceMainFn serviceMain) override {
        std::thread main([&] {
            serviceMain();
            std::lock_guard<std::mutex> g(m_lock);
            m_mainEnded = true;
            m_changed.notify_all();
        });
        std::unique_lock<std::mutex> g(m_lock);
        for (;;) {
            m_changed.wait(g, [this] { return m_mainEnded || !m_controls.empty(); });
            if (m_controls.empty()) break;
            uint32_t control = m_controls.front();
            m_controls.pop_front();
            g.unlock();
            m_handler.load()(control);
            g.lock();
        }
        g.unlock();
        main.join();
        return true;
    }

    plat::ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, plat::ServiceCtrlFn handler) override {
        EXPECT_STREQ(name, qlsmtp::kServiceName);
        m_handler = handler;
        return kHandle;
    }

    bool SetServiceStatus(plat::ServiceStatusHandle h, const plat::ServiceStatus& s) override {
        EXPECT_EQ(h, kHandle);
        EXPECT_EQ(s.serviceType, plat::kServiceWin32OwnProcess);
        std::lock_guard<std::mutex> g(m_lock);
        m_reports.push_back({s.currentState, s.controlsAccepted, s.win32ExitCode, s.serviceSpecificExitCode,
                             s.checkPoint, s.waitHint});
        m_changed.notify_all();
        return true;
    }

    void Send(uint32_t control) {
        std::lock_guard<std::mutex> g(m_lock);
        m_controls.push_back(control);
        m_changed.notify_all();
    }

    // Waits until n reports have come.
    bool WaitForReports(size_t n) {
        std::unique_lock<std::mutex> g(m_lock);
        return m_changed.wait_for(g, std::chrono::seconds(30), [&] { return m_reports.size() >= n; });
    }

    std::vector<Report> Reports() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_reports;
    }

private:
    static constexpr plat::ServiceStatusHandle kHandle = 7;
    std::atomic<plat::ServiceCtrlFn> m_handler{nullptr};
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<uint32_t> m_controls;
    std::vector<Report> m_reports;
    bool m_mainEnded = false;
};

// What the entry function of a test does.
enum class Entry { kStarts, kFails, kWaitsForRelease };

struct EntryScript {
    Entry plan = Entry::kStarts;
    CEvent release;
    CEvent done;
};
EntryScript* g_script = nullptr;

void TestEntry(CService* service) {
    if (g_script->plan == Entry::kWaitsForRelease) g_script->release.Wait();
    if (g_script->plan == Entry::kFails) {
        service->EntryFailed(0, 439);
    } else {
        service->EntryStarted();
    }
    g_script->done.Set();
}

constexpr uint32_t kStopAndShutdown = plat::kServiceAcceptStop | plat::kServiceAcceptShutdown;
const Report kStarting1 = {plat::kServiceStartPending, kStopAndShutdown, 0, 0, 1, 8000};
const Report kStarting3 = {plat::kServiceStartPending, kStopAndShutdown, 0, 0, 3, 10000};
const Report kRunning = {plat::kServiceRunning, kStopAndShutdown, 0, 0, 0, 0};
const Report kStopping = {plat::kServiceStopPending, kStopAndShutdown, 0, 0, 1, 15000};
const Report kStopped = {plat::kServiceStopped, kStopAndShutdown, 0, 0, 0, 0};

class ServiceControl : public ::testing::Test {
protected:
    ServiceControl() : m_events("QLSMTP_EVENTLOG", (m_dir / "events.log").c_str()) { g_script = &m_script; }
    ~ServiceControl() override {
        m_script.release.Set();
        if (m_dispatcher.joinable()) {  // a test that ended early
            m_scm.Send(plat::kServiceControlStop);
            m_dispatcher.join();
        }
        m_script.done.Wait();  // the entry thread uses the service object until then
        g_script = nullptr;
    }

    // Runs the dispatcher on a thread of its own until the service main ends.
    void Start(Entry plan) {
        m_script.plan = plan;
        m_dispatcher = std::thread([this] {
            m_result = m_service.InitService(qlsmtp::kServiceName, TestEntry);
            m_ended.Set();
        });
    }

    // The reports once the service has stopped; the dispatcher must end
    // within seconds.
    std::vector<Report> Finish() {
        if (!m_ended.Wait(5000)) {
            ADD_FAILURE() << "the service main has not ended";
            m_scm.Send(plat::kServiceControlStop);
        }
        m_ended.Wait();
        m_dispatcher.join();
        EXPECT_EQ(m_result, 1);
        return m_scm.Reports();
    }

    testutil::TempDir m_dir;
    testutil::ScopedEnv m_events;
    EntryScript m_script;
    FakeServiceControl m_scm;
    CService m_service{&m_scm};
    std::thread m_dispatcher;
    std::atomic<int> m_result{-1};
    CEvent m_ended;
};

TEST_F(ServiceControl, StartInterrogationAndStop) {
    Start(Entry::kStarts);
    ASSERT_TRUE(m_scm.WaitForReports(3));
    m_scm.Send(plat::kServiceControlInterrogate);
    ASSERT_TRUE(m_scm.WaitForReports(4));
    m_scm.Send(plat::kServiceControlStop);
    EXPECT_EQ(Finish(), (std::vector<Report>{kStarting1, kStarting3, kRunning, kRunning, kStopping, kStopped}));
}

// The gateway is not up yet (the entry function still works): the stop is
// taken at once and running is never reported.
TEST_F(ServiceControl, StopDuringTheStartUpIsHonouredAtOnce) {
    Start(Entry::kWaitsForRelease);
    ASSERT_TRUE(m_scm.WaitForReports(2));
    m_scm.Send(plat::kServiceControlStop);
    EXPECT_EQ(Finish(), (std::vector<Report>{kStarting1, kStarting3, kStopping, kStopped}));
}

TEST_F(ServiceControl, FailedStartIsReportedAsStoppedWithItsCode) {
    Start(Entry::kFails);
    const Report failed = {plat::kServiceStopped, kStopAndShutdown, plat::kErrorServiceSpecificError, 439, 0, 0};
    EXPECT_EQ(Finish(), (std::vector<Report>{kStarting1, kStarting3, failed}));
}

}  // namespace
