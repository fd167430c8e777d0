// The service's status reports to a fake service manager: a start and a
// stop, a stop during the start-up, a failed start.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/settings_names.h"
#include "gateway/service/cservice.h"
#include "test_util.h"

namespace {

// Runs the service main on a thread of its own and, on the dispatcher's
// thread, sends a stop once that many reports have come (0: none).
class CFakeScm : public plat::IServiceControl {
public:
    explicit CFakeScm(size_t stopAfter) : m_stopAfter(stopAfter) {}
    bool RunServiceDispatcher(const char*, plat::ServiceMainFn serviceMain) override {
        std::thread main(serviceMain);
        for (int ms = 0; m_stopAfter && ms < 30000 && Reports() < m_stopAfter; ++ms) plat::SleepMs(1);
        if (m_stopAfter) m_handler.load()(plat::kServiceControlStop);
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
        return true;
    }
    std::vector<std::string> m_reports;

private:
    size_t Reports() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_reports.size();
    }
    size_t m_stopAfter;
    std::atomic<plat::ServiceCtrlFn> m_handler{nullptr};
    std::mutex m_lock;
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
    const std::string starting1 = "2 1 8000 0/0", starting3 = "2 3 10000 0/0", running = "4 0 0 0/0",
                      stopping = "3 1 15000 0/0", stopped = "1 0 0 0/0", failed = "1 0 0 1066/439";
    const struct { Entry plan; size_t stopAfter; std::vector<std::string> reports; } cases[] = {
        {Entry::kStarts, 3, {starting1, starting3, running, stopping, stopped}},
        // The gateway is not up yet: the stop is taken at once and running is never reported.
        {Entry::kWaits, 2, {starting1, starting3, stopping, stopped}},
        {Entry::kFails, 0, {starting1, starting3, failed}},
    };
    for (const auto& c : cases) {
        EntryScript script{c.plan, {}, {}};
        g_script = &script;
        CFakeScm scm(c.stopAfter);
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
