// The configuration dialog's logic without a window, against the fake service manager.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "applet/config.h"
#include "applet/strings.h"
#include "common/settings_names.h"
#include "test_util.h"
#include "tests/support/fake_service_manager.h"

namespace {

using qlsmtpcg::CConfigDialog;
using Strings = std::vector<std::string>;

// Controls as texts; messages recorded and answered from a queue (OK when empty).
class CFakeUi : public qlsmtpcg::CAppletUi {
public:
    int Message(const char* text, unsigned) override {
        m_messages.push_back(text);
        int a = m_answers.empty() ? qlsmtpcg::kIdOk : m_answers.front();
        if (!m_answers.empty()) m_answers.pop_front();
        return a;
    }
    std::string GetControlText(int id) override { return m_controls[id]; }
    void SetControlText(int id, const std::string& text) override { m_controls[id] = text; }

    std::map<int, std::string> m_controls;
    Strings m_messages;
    std::deque<int> m_answers;
};

class Applet : public ::testing::Test {
protected:
    void SetUp() override { m_fake.m_services[qlsmtp::kServiceName]; }  // registered, stopped
    void TearDown() override { plat::SetCurrentDir(testsupport::TempBase().c_str()); }
    void Controls(const std::string& dataDir, const char* rxPort) {
        m_ui.m_controls = {{IDC_DOMAIN, "mail.example.org"}, {IDC_DNS, "10.0.0.53"}, {IDC_DATA_DIR, dataDir},
                           {IDC_RX_PORT, rxPort}, {IDC_TX_PORT, "587"}};
    }
    std::string Value(const char* name) {  // a number for a DWORD
        plat::CRegKey k;
        char buf[260] = "";
        uint32_t type = 0, size = sizeof(buf), v = 0;
        if (k.Open(qlsmtp::kSettingsKey, false) != 0 || k.QueryValue(name, &type, buf, &size) != 0) return "-";
        std::memcpy(&v, buf, sizeof(v));
        return type == plat::kRegDword ? std::to_string(v) : buf;
    }

    testutil::ScratchRegistry m_reg{qlsmtp::kSettingsKey};
    testutil::TempDir m_dir;
    testsupport::CFakeServiceManager m_fake;
    CFakeUi m_ui;
    CConfigDialog m_dlg{m_ui, &m_fake};
};

TEST_F(Applet, KeyWithoutValuesShowsFiveMessagesInOrder) {
    plat::CRegKey k;
    ASSERT_EQ(k.Open(qlsmtp::kSettingsKey, true), 0);
    EXPECT_EQ(m_dlg.ReadSettings(), 1);
    EXPECT_EQ(m_ui.m_messages,
              (Strings{TEXT_NO_DOMAIN, TEXT_NO_PROGRAM_PATH, TEXT_NO_DNS, TEXT_NO_RX_PORT, TEXT_NO_TX_PORT}));
}

TEST_F(Applet, ValuesTheGatewayCannotReadAreRefused) {
    const std::string dir78 = m_dir.path() + std::string(78 - m_dir.path().size(), 'd');
    const char *tooLong = "Please enter no more than 79 characters.", *notANumber = "Please enter a positive integer.",
               *range = "Please enter an integer between 1 and 65535.";
    const struct { int control; std::string text; const char* message; } cases[] = {  // message nullptr: taken
        {IDC_DOMAIN, std::string(79, 'a'), nullptr}, {IDC_DOMAIN, std::string(80, 'a'), tooLong},
        {IDC_DNS, std::string(80, 'a'), tooLong},    {IDC_DATA_DIR, dir78 + plat::kPathSep, nullptr},
        {IDC_DATA_DIR, dir78 + "d", tooLong},        {IDC_RX_PORT, " 65535 ", nullptr},
        {IDC_RX_PORT, "0", range},                   {IDC_RX_PORT, "65536", range},
        {IDC_RX_PORT, "99999999999", notANumber},    {IDC_RX_PORT, "25x", notANumber},
        {IDC_RX_PORT, "-1", notANumber},             {IDC_RX_PORT, "", notANumber},
        {IDC_TX_PORT, "0", range},
    };
    for (const auto& c : cases) {
        CFakeUi ui;
        CConfigDialog dlg(ui, &m_fake);
        dlg.m_RxPort = dlg.m_TxPort = 25;
        dlg.DoDataExchange(false);
        ui.m_controls[c.control] = c.text;
        ui.m_controls[IDC_TX_PORT] = c.control == IDC_TX_PORT ? c.text : "26";  // after every other field
        EXPECT_EQ(dlg.DoDataExchange(true), c.message == nullptr) << c.text;
        EXPECT_EQ(ui.m_messages, c.message ? Strings{c.message} : Strings{}) << c.text;
        EXPECT_EQ(dlg.m_TxPort, c.message ? 25u : 26u) << c.text;  // a refusal stops the exchange
    }
}

TEST_F(Applet, OkSavesAroundAStopAndRestartOfARunningService) {
    plat::CRegKey k;
    ASSERT_EQ(k.Open(qlsmtp::kSettingsKey, true), 0);
    ASSERT_EQ(k.SetString(qlsmtp::kValProgramPath, "old-path"), 0);
    m_fake.m_services[qlsmtp::kServiceName].state = plat::kServiceRunning;
    Controls(m_dir / "nowhere", "2600");
    m_ui.m_answers = {7};  // No: nothing happens and the dialog stays
    EXPECT_FALSE(m_dlg.OnOK());
    EXPECT_TRUE(m_fake.m_requests.empty());
    EXPECT_EQ(Value(qlsmtp::kValSmtpRxPort), "-");

    // Yes: stopped, saved (all but a folder that cannot be entered) and started again.
    m_ui.m_messages.clear();
    m_ui.m_answers = {qlsmtpcg::kIdYes};
    EXPECT_TRUE(m_dlg.OnOK());
    EXPECT_EQ(m_ui.m_messages, (Strings{TEXT_RESTART_QUESTION, TEXT_INVALID_PATH}));
    EXPECT_EQ(m_fake.m_requests, (Strings{std::string("stop ") + qlsmtp::kServiceName,
                                          std::string("start ") + qlsmtp::kServiceName}));
    EXPECT_EQ(Value(qlsmtp::kValSmtpRxPort), "2600");
    EXPECT_EQ(Value(qlsmtp::kValProgramPath), "old-path");
    EXPECT_EQ(Value(qlsmtp::kValDomainName), "mail.example.org");
}

// Stopped: no question; without a settings key the save fails and the dialog stays.
TEST_F(Applet, FailedSaveOfAStoppedServiceKeepsTheDialogOpen) {
    Controls(m_dir.path(), "25");
    EXPECT_FALSE(m_dlg.OnOK());
    EXPECT_EQ(m_ui.m_messages, (Strings{TEXT_KEY_NOT_OPENED, TEXT_NOT_INSTALLED_CORRECTLY}));
}

}  // namespace
