// The configuration dialog's logic without a window: messages and their
// order, the data exchange's refusals, the data directory, the save and the
// OK flow against the fake service manager.
#include <gtest/gtest.h>

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

// Controls as texts; messages recorded and answered from a queue (OK when
// it is empty).
class CFakeUi : public qlsmtpcg::CAppletUi {
public:
    int Message(const char* text, unsigned type) override {
        m_messages.push_back(text);
        if (m_answers.empty()) return qlsmtpcg::kIdOk;
        int a = m_answers.front();
        m_answers.pop_front();
        return a;
    }
    std::string GetControlText(int id) override { return m_controls[id]; }
    void SetControlText(int id, const std::string& text) override { m_controls[id] = text; }

    std::map<int, std::string> m_controls;
    Strings m_messages;
    std::deque<int> m_answers;
};

// Paths written with '\' in the tables, in the platform's separator.
std::string P(std::string s) {
    for (char& c : s)
        if (c == '\\') c = plat::kPathSep;
    return s;
}

class Applet : public ::testing::Test {
protected:
    void SetUp() override {
        auto& s = m_fake.m_services[qlsmtp::kServiceName];
        s.state = plat::kServiceStopped;
    }
    void TearDown() override { plat::SetCurrentDir(testsupport::TempBase().c_str()); }
    void PutAll(const std::string& dataDir) {
        plat::CRegKey k;
        ASSERT_EQ(k.Open(qlsmtp::kSettingsKey, true), 0);
        k.SetString(qlsmtp::kValDomainName, "fax.example.com");
        k.SetString(qlsmtp::kValDNSName, "ns.example.com");
        k.SetString(qlsmtp::kValProgramPath, dataDir.c_str());
        k.SetDword(qlsmtp::kValSmtpRxPort, 2525);
        k.SetDword(qlsmtp::kValSmtpTxPort, 25);
    }
    std::string Value(const char* name) {
        plat::CRegKey k;
        char buf[260] = "<missing>";
        if (k.Open(qlsmtp::kSettingsKey, false) == 0 && k.QueryString(name, buf, sizeof(buf)) != 0)
            return "<missing>";
        return buf;
    }
    uint32_t Port(const char* name) {
        plat::CRegKey k;
        uint32_t v = 0;
        if (k.Open(qlsmtp::kSettingsKey, false) == 0) k.QueryDword(name, &v);
        return v;
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
    EXPECT_EQ(m_ui.m_messages, (Strings{TEXT_NO_DOMAIN, TEXT_NO_PROGRAM_PATH, TEXT_NO_DNS, TEXT_NO_RX_PORT,
                                        TEXT_NO_TX_PORT}));
    m_dlg.DoDataExchange(false);
    EXPECT_EQ(m_ui.m_controls[IDC_DOMAIN], "");
    EXPECT_EQ(m_ui.m_controls[IDC_RX_PORT], "0");

    m_ui.m_messages.clear();
    PutAll(m_dir.path());
    EXPECT_EQ(m_dlg.ReadSettings(), 1);
    EXPECT_TRUE(m_ui.m_messages.empty());
    EXPECT_EQ(m_dlg.m_DNSName, "ns.example.com");
    EXPECT_EQ(m_dlg.m_RxPort, 2525u);
}

TEST_F(Applet, TrailingBackslash) {
    struct {
        const char* text;
        const char* added;
        const char* removed;
    } cases[] = {
        {"D:\\Mail", "D:\\Mail\\", "D:\\Mail"},
        {"D:\\Mail\\", "D:\\Mail\\", "D:\\Mail"},
        {"C:\\", "C:\\", "C:\\"},
        {"\\", "\\", "\\"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        std::string added = P(c.text), removed = P(c.text);
        CConfigDialog::AddTrailingBackslash(&added);
        CConfigDialog::RemoveTrailingBackslash(&removed);
        EXPECT_EQ(added, P(c.added)) << c.text;
        EXPECT_EQ(removed, P(c.removed)) << c.text;
    }
}

TEST_F(Applet, DataDirectoryIsEnteredAndGetsItsFolders) {
    std::string path = m_dir / "data";
    ASSERT_EQ(plat::MakeDirectory(path.c_str()), 0);
    EXPECT_EQ(m_dlg.ValidateDataDirectory(&path), 1);
    EXPECT_EQ(path, m_dir / "data" + plat::kPathSep);
    EXPECT_EQ(testutil::List(m_dir / "data"), (Strings{"IN", "OUT"}));
    EXPECT_TRUE(m_ui.m_messages.empty());

    std::string missing = m_dir / "missing";
    EXPECT_EQ(m_dlg.ValidateDataDirectory(&missing), 0);
    EXPECT_EQ(missing, m_dir / "missing");
    EXPECT_EQ(m_ui.m_messages, (Strings{TEXT_INVALID_PATH}));
    EXPECT_FALSE(plat::PathExists(missing.c_str()));
}

TEST_F(Applet, SaveWritesFourValuesAndTheEventButKeepsAnInvalidFolder) {
    std::string events = m_dir / "events.log";
    testutil::ScopedEnv eventLog("QLSMTP_EVENTLOG", events.c_str());
    PutAll("old-path");
    m_ui.m_controls = {{IDC_DOMAIN, "mail.example.org"}, {IDC_DNS, "10.0.0.53"}, {IDC_DATA_DIR, m_dir / "nowhere"},
                       {IDC_RX_PORT, "2526"},            {IDC_TX_PORT, "587"}};
    EXPECT_EQ(m_dlg.SaveSettings(), 1);
    EXPECT_EQ(m_ui.m_messages, (Strings{TEXT_INVALID_PATH}));
    EXPECT_EQ(Value(qlsmtp::kValProgramPath), "old-path");
    EXPECT_EQ(Value(qlsmtp::kValDomainName), "mail.example.org");
    EXPECT_EQ(Value(qlsmtp::kValDNSName), "10.0.0.53");
    EXPECT_EQ(Port(qlsmtp::kValSmtpRxPort), 2526u);
    EXPECT_EQ(Port(qlsmtp::kValSmtpTxPort), 587u);
    if (plat::kPathSep == '/') {
        EXPECT_EQ(testutil::ReadAll(events),
                  "436 information The Configuration module changed the config params and changes have been saved "
                  "into registry.\n");
    }

    // A folder that exists is stored with its separator.
    m_ui.m_controls[IDC_DATA_DIR] = m_dir.path();
    EXPECT_EQ(m_dlg.SaveSettings(), 1);
    EXPECT_EQ(Value(qlsmtp::kValProgramPath), m_dir.path() + plat::kPathSep);
}

TEST_F(Applet, ValuesTheGatewayCannotReadAreRefused) {
    const std::string longest(79, 'a'), tooLong(80, 'a');
    const std::string dir78 = m_dir.path() + std::string(78 - m_dir.path().size(), 'd');
    struct Case {
        int control;
        std::string text;
        const char* message;  // nullptr: taken
    } cases[] = {
        {IDC_DOMAIN, longest, nullptr},
        {IDC_DOMAIN, tooLong, "Please enter no more than 79 characters."},
        {IDC_DNS, tooLong, "Please enter no more than 79 characters."},
        {IDC_DATA_DIR, dir78, nullptr},
        {IDC_DATA_DIR, dir78 + plat::kPathSep, nullptr},
        {IDC_DATA_DIR, dir78 + "d", "Please enter no more than 79 characters."},
        {IDC_RX_PORT, " 65535 ", nullptr},
        {IDC_RX_PORT, "0", "Please enter an integer between 1 and 65535."},
        {IDC_RX_PORT, "65536", "Please enter an integer between 1 and 65535."},
        {IDC_RX_PORT, "99999999999", "Please enter a positive integer."},
        {IDC_RX_PORT, "25x", "Please enter a positive integer."},
        {IDC_RX_PORT, "-1", "Please enter a positive integer."},
        {IDC_RX_PORT, "", "Please enter a positive integer."},
        {IDC_TX_PORT, "0", "Please enter an integer between 1 and 65535."},
    };
    for (const Case& c : cases) {
        CFakeUi ui;
        CConfigDialog dlg(ui, &m_fake);
        dlg.m_DomainName = "old";
        dlg.m_RxPort = dlg.m_TxPort = 25;
        dlg.DoDataExchange(false);
        ui.m_controls[c.control] = c.text;
        ui.m_controls[IDC_TX_PORT] = c.control == IDC_TX_PORT ? c.text : "26";  // after every other field
        EXPECT_EQ(dlg.DoDataExchange(true), c.message == nullptr) << c.text;
        EXPECT_EQ(ui.m_messages, c.message ? Strings{c.message} : Strings{}) << c.text;
        // A refused value stops the exchange: the fields after it stay.
        EXPECT_EQ(dlg.m_TxPort, c.message ? 25u : 26u) << c.text;
    }
}

TEST_F(Applet, HelpCommandsBecomeHtmlHelpCalls) {
    struct {
        uint32_t winHelp;
        uintptr_t data;
        bool call;
        uint32_t command;
        uintptr_t passed;
        int result;
    } cases[] = {
        {1, 900, true, 15, 900, 0}, {2, 7, true, 18, 0, 0}, {3, 7, true, 0, 0, 0},  {11, 7, true, 0, 0, 0},
        {5, 7, true, 3, 0, 0},      {10, 42, true, 16, 42, 0}, {4, 1, false, 0, 0, 1}, {4, 0, false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        qlsmtpcg::HtmlHelpCall h = qlsmtpcg::TranslateHelpCommand(c.winHelp, c.data);
        EXPECT_EQ(h.call, c.call) << c.winHelp;
        if (c.call) {
            EXPECT_EQ(h.command, c.command) << c.winHelp;
            EXPECT_EQ(h.data, c.passed) << c.winHelp;
            EXPECT_EQ(h.withWindowAndFile, c.winHelp != 2) << c.winHelp;
        } else {
            EXPECT_EQ(h.resultWithoutCall, c.result) << c.winHelp;
        }
    }
}

TEST_F(Applet, OkStopsSavesAndRestartsARunningService) {
    PutAll(m_dir.path());
    auto& svc = m_fake.m_services[qlsmtp::kServiceName];
    m_dlg.ReadSettings();
    m_dlg.DoDataExchange(false);
    m_ui.m_controls[IDC_RX_PORT] = "2600";

    // No: nothing happens and the dialog stays.
    svc.state = plat::kServiceRunning;
    m_ui.m_answers = {7};
    EXPECT_FALSE(m_dlg.OnOK());
    EXPECT_TRUE(m_fake.m_requests.empty());
    EXPECT_EQ(Port(qlsmtp::kValSmtpRxPort), 2525u);

    m_ui.m_messages.clear();
    m_ui.m_answers = {qlsmtpcg::kIdYes};
    EXPECT_TRUE(m_dlg.OnOK());
    EXPECT_EQ(m_ui.m_messages, (Strings{TEXT_RESTART_QUESTION}));
    EXPECT_EQ(m_fake.m_requests, (Strings{std::string("stop ") + qlsmtp::kServiceName,
                                          std::string("start ") + qlsmtp::kServiceName}));
    EXPECT_EQ(Port(qlsmtp::kValSmtpRxPort), 2600u);

    // Stopped: saved and closed without a question.
    m_ui.m_messages.clear();
    m_ui.m_controls[IDC_RX_PORT] = "2601";
    svc.state = plat::kServiceStopped;
    EXPECT_TRUE(m_dlg.OnOK());
    EXPECT_TRUE(m_ui.m_messages.empty());
    EXPECT_EQ(Port(qlsmtp::kValSmtpRxPort), 2601u);
}

TEST_F(Applet, FailedSaveOfAStoppedServiceKeepsTheDialogOpen) {
    m_ui.m_controls = {{IDC_DOMAIN, "a"}, {IDC_DNS, "b"}, {IDC_DATA_DIR, m_dir.path()}, {IDC_RX_PORT, "25"},
                       {IDC_TX_PORT, "25"}};
    // No settings key: the save cannot happen.
    EXPECT_FALSE(m_dlg.OnOK());
    EXPECT_EQ(m_ui.m_messages, (Strings{TEXT_KEY_NOT_OPENED, TEXT_NOT_INSTALLED_CORRECTLY}));
}

}  // namespace
