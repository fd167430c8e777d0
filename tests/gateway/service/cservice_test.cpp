// The service's status reports to a fake service manager: a start, an
// interrogation and a stop; a stop during the start-up; a failed start.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/settings_names.h"
#include "gateway/service/cservice.h"
#include "test_util.h"

namespace {

using Controls = std::vector<std::pair<size_t, uint32_t>>;  // a control, sent once that many reports have come

// Runs the service main on a thread of its own and delivers the controls on the dispatcher's thread.
class CFakeScm : public plat::IServiceControl {
public:
    explicit CFakeScm(Controls controls) : m_controls(std::move(controls)) {}
    bool RunServiceDispatcher(const char*, plat::ServiceMainFn serviceMain) override {
        std::thread main(serviceMain);
        for (auto [after, control] : m_controls) {
            std::unique_lock<std::mutex> g(m_lock);
            EXPECT_TRUE(m_changed.wait_for(g, std::chrono::seconds(30), [&] { return m_reports.size() >= after; }));
            g.unlock();
            m_handler.load()(control);
        }
        main.join();
        return true;
    }
    plat::ServiceStatusHandle RegisterServiceCtrlHandler(const char*, plat::ServiceCtrlFn handler) override {
        m_handler = handler;
        return 7;
    }
    // As "state checkpoint wait-hint exit-code/specific-code".
    bool SetServiceStatus(plat::ServiceStatusHandle, const plat::ServiceStatus& s) override {
        EXPECT_EQ(s.controlsAccepted, plat::kServiceAcceptStop | plat::kServiceAcceptShutdown);
        std::lock_guard<std::mutex> g(m_lock);
        m_reports.push_back(std::to_string(s.currentState) + " " + std::to_string(s.checkPoint) + " " +
                            std::to_string(s.waitHint) + " " + std::to_string(s.win32ExitCode) + "/" +
                            std::to_string(s.serviceSpecificExitCode));
        m_changed.notify_all();
        return true;
    }
    std::vector<std::string> m_reports;

private:
    Controls m_controls;
    std::atomic<plat::ServiceCtrlFn> m_handler{nullptr};
    std::mutex m_lock;
    std::condition_variable m_changed;
};

enum class Entry { kStarts, kFails, kWaits };  // kWaits: starts once the test releases it
struct EntryScript {
    Entry plan;
    CEvent release, done;
};
EntryScript* g_script = nullptr;

void TestEntry(CService* service) {
    if (g_script->plan == Entry::kWaits) g_script->release.Wait();
    g_script->plan == Entry::kFails ? service->EntryFailed(0, 439) : service->EntryStarted();
    g_script->done.Set();
}

TEST(Service, StatusReportsOfStartStopAndFailure) {
    testutil::TempDir dir;
    testutil::ScopedEnv events("QLSMTP_EVENTLOG", (dir / "events.log").c_str());
    const uint32_t interrogate = plat::kServiceControlInterrogate, stop = plat::kServiceControlStop;
    const std::string starting1 = "2 1 8000 0/0", starting3 = "2 3 10000 0/0", running = "4 0 0 0/0",
                      stopping = "3 1 15000 0/0", stopped = "1 0 0 0/0", failed = "1 0 0 1066/439";
    const struct { Entry plan; Controls controls; std::vector<std::string> reports; } cases[] = {
        {Entry::kStarts, {{3, interrogate}, {4, stop}}, {starting1, starting3, running, running, stopping, stopped}},
        // The gateway is not up yet: the stop is taken at once and running is never reported.
        {Entry::kWaits, {{2, stop}}, {starting1, starting3, stopping, stopped}},
        {Entry::kFails, {}, {starting1, starting3, failed}},
    };
    for (const auto& c : cases) {
        EntryScript script{c.plan, {}, {}};
        g_script = &script;
        CFakeScm scm(c.controls);
        {
            CService service(&scm);
            EXPECT_EQ(service.InitService(qlsmtp::kServiceName, TestEntry), 1);
            script.release.Set();
            script.done.Wait();  // the entry thread uses the service object until then
        }
        EXPECT_EQ(scm.m_reports, c.reports);
    }
    g_script = nullptr;
}

}  // namespace
