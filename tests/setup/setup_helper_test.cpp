// The setup helper against the fake service manager: what each export asks
// the manager for and the messages it shows, for the outcomes an installer
// can meet (dependants and log-on failures included, which Wine's manager
// only imitates).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/settings_names.h"
#include "platform/file.h"
#include "setup/setup_helper.h"
#include "setup/strings.h"
#include "test_util.h"
#include "tests/support/fake_service_manager.h"

namespace {

using Strings = std::vector<std::string>;
constexpr const char* kName = qlsmtp::kServiceName;
constexpr char kPath[] = "C:\\Program Files\\Quillon SMTP Server\\qlsmtpgw.exe";
const std::string kCreate = std::string("create ") + kName, kStart = std::string("start ") + kName,
                  kStop = std::string("stop ") + kName, kDelete = std::string("delete ") + kName;

// The fake, able to register and delete services as well.
class CSetupFake : public testsupport::CFakeServiceManager {
public:
    int m_createError = 0;
    int m_deleteError = 0;
    // How a service registered here answers its start.
    int m_startError = 0;
    uint32_t m_stateAfterStart = plat::kServiceRunning;
    std::map<std::string, std::string> m_paths;

    int OpenServiceNamed(intptr_t scm, const char* name, intptr_t* service) override {
        int r = CFakeServiceManager::OpenServiceNamed(scm, name, service);
        if (r == 0) m_names[*service] = name;
        return r;
    }
    int Create(intptr_t scm, const char* name, const char*, const char* path, intptr_t* service) override {
        m_requests.push_back(std::string("create ") + name);
        if (m_createError) return m_createError;
        m_services[name].startError = m_startError;
        m_services[name].stateAfterStart = m_stateAfterStart;
        m_paths[name] = path;
        return OpenServiceNamed(scm, name, service);
    }
    int Delete(intptr_t service) override {
        std::string name = m_names[service];
        m_requests.push_back("delete " + name);
        if (m_deleteError) return m_deleteError;
        m_services.erase(name);
        m_paths.erase(name);
        return 0;
    }

private:
    std::map<intptr_t, std::string> m_names;
};

// A message as "caption (icon): text", without the system's text of an
// error box.
std::string Box(const std::string& caption, int icon, const std::string& text) {
    return caption + " (" + std::to_string(icon) + "): " + text.substr(0, text.find("\n\n"));
}
std::string Msg(unsigned id) { return Box(QLSINSTALL_TEXT_2, plat::kIconWarning, qlsinstall::CSetupHelper::Text(id)); }
const std::string kStartError =
    Box("Service control", plat::kIconError, std::string("ERROR starting service ") + kName + ":");
const std::string kStopError =
    Box("Service control", plat::kIconError, std::string("ERROR stopping service ") + kName + ":");

class SetupHelper : public ::testing::Test {
protected:
    qlsinstall::CSetupHelper Helper() {
        return qlsinstall::CSetupHelper(&m_fake, [this](const char* text, const char* caption, int icon) {
            m_messages.push_back(Box(caption, icon, text));
        });
    }
    void Reset() {
        m_fake = CSetupFake();
        m_messages.clear();
    }
    void Check(const char* what, const Strings& requests, const Strings& messages) {
        EXPECT_EQ(m_fake.m_requests, requests) << what;
        EXPECT_EQ(m_messages, messages) << what;
        EXPECT_EQ(m_fake.m_openHandles, 0) << what << ": handles left open";
    }

    testutil::ScratchRegistry m_registry{qlsmtp::kEventLogKey};
    CSetupFake m_fake;
    Strings m_messages;
};

TEST_F(SetupHelper, InitializeRegistersAndStarts) {
    const std::string longest(plat::kMaxPath - 1, 'p'), tooLong(plat::kMaxPath, 'p');
    struct Case {
        const char* what;
        const char* path;
        bool existing;
        int openManagerError, createError, startError;
        uint32_t stateAfterStart;
        Strings requests, messages;
    } cases[] = {
        {"fresh registration", kPath, false, 0, 0, 0, plat::kServiceRunning, {kCreate, kStart}, {}},
        {"longest path", longest.c_str(), false, 0, 0, 0, plat::kServiceRunning, {kCreate, kStart}, {}},
        {"no path", nullptr, false, 0, 0, 0, plat::kServiceRunning, {}, {Msg(5)}},
        {"empty path", "", false, 0, 0, 0, plat::kServiceRunning, {}, {Msg(5)}},
        {"path too long", tooLong.c_str(), false, 0, 0, 0, plat::kServiceRunning, {}, {Msg(5)}},
        {"already registered", kPath, true, 0, 0, 0, plat::kServiceRunning, {}, {Msg(5)}},
        {"manager refused", kPath, false, 5, 0, 0, plat::kServiceRunning, {}, {Msg(5)}},
        {"creation refused", kPath, false, 0, 1072, 0, plat::kServiceRunning, {kCreate}, {Msg(5)}},
        {"start refused", kPath, false, 0, 0, 2, plat::kServiceRunning, {kCreate, kStart},
         {kStartError, Msg(1)}},
        {"log-on failure", kPath, false, 0, 0, 1069, plat::kServiceRunning, {kCreate, kStart}, {Msg(1)}},
        {"never running", kPath, false, 0, 0, 0, plat::kServiceStartPending, {kCreate, kStart}, {Msg(1)}},
    };
    for (const Case& c : cases) {
        Reset();
        if (c.existing) {
            m_fake.m_services[kName];
            m_fake.m_paths[kName] = "the old path";
        }
        m_fake.m_openManagerError = c.openManagerError;
        m_fake.m_createError = c.createError;
        m_fake.m_startError = c.startError;
        m_fake.m_stateAfterStart = c.stateAfterStart;
        EXPECT_EQ(Helper().InitializeSMTPService(c.path), 0) << c.what;
        Check(c.what, c.requests, c.messages);
        bool created = c.requests.size() > 0 && !c.createError;
        EXPECT_EQ(m_fake.m_paths.count(kName) > 0, created || c.existing) << c.what;
        if (c.existing || created) {
            EXPECT_EQ(m_fake.m_paths[kName], c.existing ? "the old path" : c.path) << c.what;
        }
    }
}

TEST_F(SetupHelper, EventSourceThatCannotBeWrittenLeavesTheServiceUnstarted) {
    if (plat::kPathSep != '/') GTEST_SKIP() << "the registry's own key cannot be made to fail";
    testutil::TempDir dir;
    testutil::ScopedEnv unwritable("QLSMTP_REGISTRY", (dir / "missing/registry.reg").c_str());
    EXPECT_EQ(Helper().InitializeSMTPService(kPath), 0);
    Check("event source", {kCreate}, {Msg(5)});
    EXPECT_EQ(m_fake.m_services[kName].state, plat::kServiceStopped);
}

TEST_F(SetupHelper, UninstallStopsAndRemoves) {
    struct Case {
        const char* what;
        bool present;
        int stopError, deleteError;
        uint32_t stateAfterStop;
        Strings requests, messages;
        bool removed;
    } cases[] = {
        {"running with dependants", true, 0, 0, plat::kServiceStopped,
         {"stop B", "stop A", kStop, kDelete}, {}, true},
        {"absent", false, 0, 0, plat::kServiceStopped, {}, {Msg(3)}, false},
        {"stop refused", true, 1051, 0, plat::kServiceStopped, {"stop B", "stop A", kStop},
         {kStopError, Msg(3)}, false},
        {"never stops", true, 0, 0, plat::kServiceStopPending, {"stop B", "stop A", kStop}, {Msg(3)}, false},
        // 1062 counts as stopped, but the service is found running.
        {"not stopped at removal", true, 1062, 0, plat::kServiceStopped, {"stop B", "stop A", kStop},
         {Msg(4)}, false},
        {"deletion refused", true, 0, 1072, plat::kServiceStopped, {"stop B", "stop A", kStop, kDelete},
         {Box("Warning", plat::kIconNone, "Failed To Remove Service")}, false},
    };
    for (const Case& c : cases) {
        Reset();
        if (c.present) {
            auto& s = m_fake.m_services[kName];
            s.state = plat::kServiceRunning;
            s.dependants = {"B", "A"};
            s.stopError = c.stopError;
            s.stateAfterStop = c.stateAfterStop;
            m_fake.m_services["A"].state = m_fake.m_services["B"].state = plat::kServiceRunning;
            m_fake.m_deleteError = c.deleteError;
        }
        EXPECT_EQ(Helper().UninstInitialize(), 0) << c.what;
        Check(c.what, c.requests, c.messages);
        EXPECT_EQ(m_fake.m_services.count(kName) == 0, c.removed || !c.present) << c.what;
    }
}

}  // namespace
