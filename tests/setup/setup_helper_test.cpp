// The setup helper against the fake service manager: what each export asks
// the manager for and the messages it shows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/settings_names.h"
#include "setup/setup_helper.h"
#include "setup/strings.h"
#include "test_util.h"
#include "tests/support/fake_service_manager.h"

namespace {

using Strings = std::vector<std::string>;
const std::string kName = qlsmtp::kServiceName, kCreate = "create " + kName, kStart = "start " + kName,
                  kStop = "stop " + kName, kDelete = "delete " + kName;
const char kPath[] = "C:\\Program Files\\Quillon SMTP Server\\qlsmtpgw.exe";

// A message as "caption (icon): text", without the system's text of an error box.
std::string Box(const std::string& caption, int icon, const std::string& text) {
    return caption + " (" + std::to_string(icon) + "): " + text.substr(0, text.find("\n\n"));
}
std::string Msg(unsigned id) { return Box(QLSINSTALL_TEXT_2, plat::kIconWarning, qlsinstall::CSetupHelper::Text(id)); }

class SetupHelper : public ::testing::Test {
protected:
    // Runs an export against the fake; it must leave no handle open.
    int Run(bool install, const char* path = kPath) {
        qlsinstall::CSetupHelper helper(&m_fake, [this](const char* text, const char* caption, int icon) {
            m_messages.push_back(Box(caption, icon, text));
        });
        int r = install ? helper.InitializeSMTPService(path) : helper.UninstInitialize();
        EXPECT_EQ(m_fake.m_openHandles, 0) << "handles left open";
        return r;
    }
    testutil::TempDir m_dir;
    testutil::ScratchRegistry m_registry{qlsmtp::kEventLogKey};
    testsupport::CFakeServiceManager m_fake;
    Strings m_messages;
};

TEST_F(SetupHelper, InitializeRegistersAndStarts) {
    const std::string longest(plat::kMaxPath - 1, 'p'), tooLong(plat::kMaxPath, 'p');
    const std::string startError = Box("Service control", plat::kIconError, "ERROR starting service " + kName + ":");
    const struct { const char *what, *path; bool existing; int managerError, createError, startError;
                   uint32_t stateAfterStart; Strings requests, messages; } cases[] = {
        {"longest path", longest.c_str(), false, 0, 0, 0, plat::kServiceRunning, {kCreate, kStart}, {}},
        {"no path", nullptr, false, 0, 0, 0, plat::kServiceRunning, {}, {Msg(5)}},
        {"path too long", tooLong.c_str(), false, 0, 0, 0, plat::kServiceRunning, {}, {Msg(5)}},
        {"already registered", kPath, true, 0, 0, 0, plat::kServiceRunning, {}, {Msg(5)}},
        {"manager refused", kPath, false, 5, 0, 0, plat::kServiceRunning, {}, {Msg(5)}},
        {"creation refused", kPath, false, 0, 1072, 0, plat::kServiceRunning, {kCreate}, {Msg(5)}},
        {"start refused", kPath, false, 0, 0, 2, plat::kServiceRunning, {kCreate, kStart}, {startError, Msg(1)}},
        {"log-on failure", kPath, false, 0, 0, 1069, plat::kServiceRunning, {kCreate, kStart}, {Msg(1)}},
        {"never running", kPath, false, 0, 0, 0, plat::kServiceStartPending, {kCreate, kStart}, {Msg(1)}},
        {"fresh", kPath, false, 0, 0, 0, plat::kServiceRunning, {kCreate, kStart}, {}},
    };
    for (const auto& c : cases) {
        m_fake = testsupport::CFakeServiceManager();
        m_messages.clear();
        if (c.existing) m_fake.m_services[kName].path = "the old path";
        m_fake.m_openManagerError = c.managerError;
        m_fake.m_createError = c.createError;
        m_fake.m_created.startError = c.startError;
        m_fake.m_created.stateAfterStart = c.stateAfterStart;
        EXPECT_EQ(Run(true, c.path), 0) << c.what;
        EXPECT_EQ(m_fake.m_requests, c.requests) << c.what;
        EXPECT_EQ(m_messages, c.messages) << c.what;
        const char* registered = c.existing ? "the old path" : c.requests.empty() || c.createError ? "" : c.path;
        EXPECT_EQ(m_fake.m_services[kName].path, registered) << c.what;
    }
    // The event-log source names the program; one that cannot be written leaves the service unstarted.
    plat::CRegKey key;
    char text[100] = "";
    uint32_t type = 0, size = sizeof(text), types = 0;
    ASSERT_EQ(key.Open(qlsmtp::kEventLogKey, false), 0);
    EXPECT_EQ(key.QueryValue("EventMessageFile", &type, text, &size), 0);
    EXPECT_EQ(std::to_string(type) + " " + text, std::to_string(plat::kRegExpandSz) + " " + kPath);
    EXPECT_TRUE(key.QueryDword("TypesSupported", &types) == 0 && types == 7u) << types;
    if (plat::kPathSep != '/') return;  // the registry's own key cannot be made to fail
    m_fake = testsupport::CFakeServiceManager();
    m_messages.clear();
    testutil::ScopedEnv unwritable("QLSMTP_REGISTRY", (m_dir / "missing/registry.reg").c_str());
    EXPECT_EQ(Run(true), 0);
    EXPECT_EQ(m_fake.m_requests, Strings{kCreate});
    EXPECT_EQ(m_messages, Strings{Msg(5)});
}

TEST_F(SetupHelper, UninstallStopsAndRemoves) {
    const Strings stops = {"stop B", "stop A", kStop}, removes = {"stop B", "stop A", kStop, kDelete};
    const std::string stopError = Box("Service control", plat::kIconError, "ERROR stopping service " + kName + ":");
    const struct { const char* what; bool present; int stopError, deleteError; uint32_t stateAfterStop;
                   Strings requests, messages; } cases[] = {
        {"running with dependants", true, 0, 0, plat::kServiceStopped, removes, {}},
        {"absent", false, 0, 0, plat::kServiceStopped, {}, {Msg(3)}},
        {"stop refused", true, 1051, 0, plat::kServiceStopped, stops, {stopError, Msg(3)}},
        {"never stops", true, 0, 0, plat::kServiceStopPending, stops, {Msg(3)}},
        {"not stopped at removal", true, 1062, 0, plat::kServiceStopped, stops, {Msg(4)}},  // 1062 counts as stopped
        {"deletion refused", true, 0, 1072, plat::kServiceStopped, removes,
         {Box("Warning", plat::kIconNone, "Failed To Remove Service")}},
    };
    for (const auto& c : cases) {
        m_fake = testsupport::CFakeServiceManager();
        m_messages.clear();
        if (c.present) {
            auto& s = m_fake.m_services[kName];
            s.state = m_fake.m_services["A"].state = m_fake.m_services["B"].state = plat::kServiceRunning;
            s.dependants = {"B", "A"};
            s.stopError = c.stopError;
            s.stateAfterStop = c.stateAfterStop;
            m_fake.m_deleteError = c.deleteError;
        }
        EXPECT_EQ(Run(false), 0) << c.what;
        EXPECT_EQ(m_fake.m_requests, c.requests) << c.what;
        EXPECT_EQ(m_messages, c.messages) << c.what;
        EXPECT_EQ(m_fake.m_services.count(kName), c.requests == removes && !c.deleteError ? 0u : c.present) << c.what;
    }
}

}  // namespace
