#include <string>

#include "common/settings_names.h"
#include "gateway/core/diag.h"
#include "gateway/service/entry.h"
#include "test_util.h"

namespace {

TEST(ModeChoice, LastCharacterOfTheCommandLineDecides) {
    struct {
        const char* line;
        RunMode mode;
    } cases[] = {
        {"qlsmtpgw M", RunMode::Console},   {"qlsmtpgw m\"", RunMode::Service},
        {"\"C:\\q\\qlsmtpgw.exe\" -m u i", RunMode::Install},
        {"qlsmtpgw -I", RunMode::Install},  {"qlsmtpgw /install", RunMode::Service},
        {"qlsmtpgw U", RunMode::Remove},    {"C:\\q\\qlsmtpgw.exe", RunMode::Service},
        {"", RunMode::Service},
    };
    for (const auto& c : cases) EXPECT_EQ(ChooseMode(c.line), c.mode) << c.line;
}

class Diagnostics : public ::testing::Test {
protected:
    void TearDown() override { SetDebugLogForTest(false, ""); }
    testutil::ScratchRegistry m_reg{qlsmtp::kSettingsKey};
    testutil::TempDir m_dir;
};

TEST_F(Diagnostics, LogFileValueOfFourCharactersSwitchesTheLogOn) {
    struct {
        const char* value;
        bool enabled;
    } cases[] = {{"", false}, {"a.l", false}, {"a.lg", true}};
    for (const auto& c : cases) {
        plat::CRegKey k;
        ASSERT_EQ(k.Open(qlsmtp::kSettingsKey, true), 0);
        ASSERT_EQ(k.SetString(qlsmtp::kValLogFile, c.value), 0);
        SetDebugLogForTest(!c.enabled, (m_dir / "x").c_str());
        GetDebugSettings();
        EXPECT_EQ(DebugLogIsEnabled(), c.enabled) << '"' << c.value << '"';
    }
}

TEST_F(Diagnostics, LogLineFormatIsKeptAndCutAt260) {
    std::string log = m_dir / "debug.log";
    SetDebugLogForTest(true, log.c_str());
    DebugLog("100% %s done", "C:\\src\\gateway\\C_WINSOC.CPP", 42);
    DebugLog("posix", "/src/gateway/smtp_in.cpp", 7);
    DebugLog(std::string(400, 'x').c_str(), "f.cpp", 1);
    std::string text = testutil::ReadAll(log);
    std::string want = "42 C_WINSOC.CPP - 100% %s done\r\n7 smtp_in.cpp - posix\r\n1 f.cpp - " +
                       std::string(259 - 10, 'x');
    EXPECT_EQ(text, want);
    // A log file that cannot be opened costs the line and nothing else: not
    // even the caller's last error.
    std::string unwritable = m_dir / "missing" + plat::kPathSep + "log";
    SetDebugLogForTest(true, unwritable.c_str());
    plat::SetLastError(1234);
    DebugLog("lost", "f.cpp", 1);
    EXPECT_EQ(plat::LastError(), 1234);
    EXPECT_FALSE(plat::PathExists(unwritable.c_str()));
}

TEST_F(Diagnostics, PortsFallBackTo25) {
    EXPECT_EQ(GetSMTPInPortNumber(), 25);  // no key at all
    plat::CRegKey k;
    ASSERT_EQ(k.Open(qlsmtp::kSettingsKey, true), 0);
    EXPECT_EQ(GetSMTPInPortNumber(), 25);  // no value
    ASSERT_EQ(k.SetString(qlsmtp::kValSmtpRxPort, "2525"), 0);
    EXPECT_EQ(GetSMTPInPortNumber(), 25);  // a text does not fit the 4-byte read
    ASSERT_EQ(k.SetDword(qlsmtp::kValSmtpRxPort, 2525), 0);
    ASSERT_EQ(k.SetDword(qlsmtp::kValSmtpTxPort, 70000), 0);
    EXPECT_EQ(GetSMTPInPortNumber(), 2525);
    EXPECT_EQ(GetSMTPOutPortNumber(), 70000);  // no range check
}

TEST_F(Diagnostics, EventsCountOnlyThePresentStrings) {
    if (plat::kPathSep != '/') GTEST_SKIP() << "the Windows event log is checked under Wine";
    std::string events = m_dir / "events.log";
    plat::SetEnv("QLSMTP_EVENTLOG", events.c_str());
    ReportServiceEvent(4, 428, qlsmtp::kServiceName);
    ReportServiceEvent(1, 432, qlsmtp::kServiceName, "/data/IN/pic.gif");
    ReportServiceEvent(1, 999);
    plat::SetEnv("QLSMTP_EVENTLOG", nullptr);
    EXPECT_EQ(testutil::ReadAll(events),
              "428 information The Quillon SMTP Server was stopped by the Control panel.\n"
              "432 error The Quillon SMTP Server couldn't find the attached file:/data/IN/pic.gif in IN path for "
              "sending.\n"
              "999 error Event 999\n");
}

}  // namespace
