// The Linux settings file: what the registry editor exports must read as it
// is, and what the gateway writes must stay in that format.
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "test_util.h"

namespace {

const char kKey[] = "SOFTWARE\\Halvern\\Quillon SMTP Server";

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        if (plat::RegistryFilePath().empty()) GTEST_SKIP() << "the registry is the real one here";
    }
    testutil::ScratchRegistry m_reg{kKey};
};

TEST_F(RegistryFile, ReadsAnExportedFile) {
    testutil::WriteAll(m_reg.file(),
                       "REGEDIT4\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Quillon SMTP Server]\r\n"
                       "\"SmtpRxPort\"=dword:000009c4\r\n"
                       "\"ProgramPath\"=\"C:\\\\fax\\\\data\\\\\"\r\n"
                       "\"Quote\"=\"say \\\"hi\\\"\"\r\n"
                       "\"Expand\"=hex(2):25,54,4d,50,25,00\r\n"
                       "\"Bin\"=hex:01,02,\\\r\n"
                       "  03\r\n"
                       "\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n\"Keep\"=\"me\"\r\n");
    plat::CRegKey k;
    ASSERT_EQ(k.Open(kKey, false), 0);
    uint32_t port = 0;
    EXPECT_EQ(k.QueryDword("SmtpRxPort", &port), 0);
    EXPECT_EQ(port, 2500u);
    char buf[80];
    EXPECT_EQ(k.QueryString("ProgramPath", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "C:\\fax\\data\\");
    EXPECT_EQ(k.QueryString("Quote", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "say \"hi\"");
    uint32_t type = 0, size = sizeof(buf);
    EXPECT_EQ(k.QueryValue("Expand", &type, buf, &size), 0);
    EXPECT_EQ(type, plat::kRegExpandSz);
    EXPECT_STREQ(buf, "%TMP%");
    size = sizeof(buf);
    EXPECT_EQ(k.QueryValue("Bin", &type, buf, &size), 0);
    EXPECT_EQ(size, 3u);

    // A change rewrites the file and keeps everything else in it.
    ASSERT_EQ(k.SetDword("TmpIndex", 65534), 0);
    std::string text = testutil::ReadAll(m_reg.file());
    EXPECT_EQ(text.rfind("REGEDIT4", 0), 0u);
    EXPECT_NE(text.find("\"TmpIndex\"=dword:0000fffe"), std::string::npos);
    EXPECT_NE(text.find("\"ProgramPath\"=\"C:\\\\fax\\\\data\\\\\""), std::string::npos);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Other]"), std::string::npos);
    EXPECT_NE(text.find("\"Keep\"=\"me\""), std::string::npos);
}

TEST_F(RegistryFile, ValuesAreReadAfreshAfterAnotherWriter) {
    plat::CRegKey k;
    ASSERT_EQ(k.Open(kKey, true), 0);
    ASSERT_EQ(k.SetDword("FileNameUse", 0), 0);
    // Another process rewrites the file (as the fax server would).
    std::string text = testutil::ReadAll(m_reg.file());
    size_t at = text.find("dword:00000000");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 14, "dword:00000001");
    testutil::WriteAll(m_reg.file() + ".new", text);
    ASSERT_EQ(plat::RemoveFile(m_reg.file().c_str()), 0);
    ASSERT_EQ(plat::RenameFile((m_reg.file() + ".new").c_str(), m_reg.file().c_str()), 0);
    uint32_t v = 0;
    EXPECT_EQ(k.QueryDword("FileNameUse", &v), 0);
    EXPECT_EQ(v, 1u);
}

TEST_F(RegistryFile, ConcurrentWritersLoseNoUpdate) {
    plat::CRegKey k;
    ASSERT_EQ(k.Open(kKey, true), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            plat::CRegKey mine;
            ASSERT_EQ(mine.Open(kKey, false), 0);
            for (int i = 0; i < 25; ++i)
                mine.SetDword(("V" + std::to_string(t) + "_" + std::to_string(i)).c_str(), static_cast<uint32_t>(i));
        });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 25; ++i) {
            uint32_t v = 999;
            EXPECT_EQ(k.QueryDword(("V" + std::to_string(t) + "_" + std::to_string(i)).c_str(), &v), 0);
            EXPECT_EQ(v, static_cast<uint32_t>(i));
        }
}

// A settings file that cannot be read whole is an error, never an empty
// file to write over: here the path names a folder.
TEST_F(RegistryFile, AnUnreadableFileIsNotTakenForAnEmptyOne) {
    testutil::TempDir dir;
    testutil::WriteAll(dir / "keep", "x");
    testutil::ScopedEnv env("QLSMTP_REGISTRY", dir.path().c_str());
    plat::CRegKey k;
    EXPECT_NE(k.Open(kKey, true), 0);
    EXPECT_EQ(testutil::ReadAll(dir / "keep"), "x");
}

// Readers take no lock: one that opened the file reads the version it
// opened, whole, however many changes follow.
TEST_F(RegistryFile, AnOpenReaderKeepsItsVersion) {
    plat::CRegKey k;
    ASSERT_EQ(k.Open(kKey, true), 0);
    ASSERT_EQ(k.SetString("Pad", "first"), 0);
    ASSERT_EQ(k.SetDword("Seq", 1), 0);
    const std::string version = testutil::ReadAll(m_reg.file());
    plat::CFile held;
    ASSERT_EQ(held.Open(m_reg.file().c_str(), plat::kOpenRead), 0);
    for (int i = 2; i < 7; ++i) ASSERT_EQ(k.SetString("Pad", std::string(i * 7, 'x').c_str()), 0);
    std::string seen;
    char buf[4096];
    int n;
    while ((n = held.Read(buf, sizeof(buf))) > 0) seen.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(seen, version);
    EXPECT_NE(testutil::ReadAll(m_reg.file()).find("\"Pad\"=\"" + std::string(42, 'x') + "\""), std::string::npos);
}

// Readers that keep a parsed copy while the file looks unchanged must see
// every change, however close together.
TEST_F(RegistryFile, EveryChangeHasALaterModificationTime) {
    namespace fs = std::filesystem;
    plat::CRegKey k;
    ASSERT_EQ(k.Open(kKey, true), 0);
    ASSERT_EQ(k.SetDword("Seq", 0), 0);
    fs::file_time_type last = fs::last_write_time(m_reg.file());
    for (uint32_t i = 1; i < 20; ++i) {
        ASSERT_EQ(k.SetDword("Seq", i), 0);
        fs::file_time_type now = fs::last_write_time(m_reg.file());
        EXPECT_GT(now, last) << "change " << i;
        last = now;
    }
}

}  // namespace
