// The settings store: the registry's semantics that the gateway relies on
// and, on Linux, the settings file that stands in for it.
#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "test_util.h"

namespace {

const char kKey[] = "SOFTWARE\\Halvern\\Quillon SMTP Server";

// A key is made only when asked; a port written as text does not fit a
// 4-byte read, so the gateway takes its default.
TEST(Registry, ValuesRoundTripAndReadsThatDoNotFitFail) {
    const char* key = "SOFTWARE\\Halvern\\QlsmtpRegistryTest";
    testutil::ScratchRegistry reg(key);
    plat::CRegKey k, r;
    EXPECT_EQ(k.Open(key, false), plat::kRegNotFound);
    ASSERT_EQ(k.Open(key, true), 0);
    ASSERT_EQ(k.SetString("Path", "C:\\data\\ with \"quotes\""), 0);
    ASSERT_EQ(k.SetString("Port", "25000"), 0);
    ASSERT_EQ(r.Open(key, false), 0);  // a second handle reads what the first wrote
    uint32_t v = 0;
    char buf[64];
    EXPECT_EQ(r.QueryString("path", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "C:\\data\\ with \"quotes\"");
    EXPECT_EQ(r.QueryDword("Port", &v), plat::kRegMoreData);
    EXPECT_EQ(r.QueryString("Port", buf, 4), plat::kRegMoreData);
    EXPECT_EQ(r.QueryDword("Missing", &v), plat::kRegNotFound);
}

class RegistryFile : public ::testing::Test {
protected:
    void SetUp() override {
        if (plat::RegistryFilePath().empty()) GTEST_SKIP() << "the registry is the real one here";
        ASSERT_EQ(m_key.Open(kKey, true), 0);
    }
    testutil::ScratchRegistry m_reg{kKey};
    plat::CRegKey m_key;
};

// Beyond what the gateway's own tests write: the registry editor's wrapped
// hex values, sections of other roots kept through a change, and a file that
// another process put in place read afresh.
TEST_F(RegistryFile, ReadsAnExportedFileAndKeepsWhatItDoesNotChange) {
    testutil::WriteAll(m_reg.file(), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvern\\Quillon SMTP Server]\r\n"
                                     "\"Expand\"=hex(2):25,54,\\\r\n  4d,50,25,00\r\n\"Port\"=dword:000009c4\r\n"
                                     "\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n\"Keep\"=\"me\"\r\n");
    uint32_t port = 0, type = 0, size = 80;
    char buf[80];
    EXPECT_EQ(m_key.QueryValue("Expand", &type, buf, &size), 0);
    EXPECT_EQ(std::to_string(type) + buf, std::to_string(plat::kRegExpandSz) + "%TMP%");
    ASSERT_EQ(m_key.SetDword("TmpIndex", 65534), 0);
    std::string text = testutil::ReadAll(m_reg.file());
    EXPECT_NE(text.find("\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n\"Keep\"=\"me\""), std::string::npos) << text;
    text.replace(text.find("dword:000009c4"), 14, "dword:00000001");
    testutil::WriteAll(m_reg.file() + ".new", text);
    ASSERT_EQ(plat::RemoveFile(m_reg.file().c_str()), 0);
    ASSERT_EQ(plat::RenameFile((m_reg.file() + ".new").c_str(), m_reg.file().c_str()), 0);
    EXPECT_EQ(m_key.QueryDword("Port", &port), 0);
    EXPECT_EQ(port, 1u);
}

// A change never writes into the file a reader has open: the reader keeps
// the version it opened, whole. Each version has a later modification time,
// by which other processes' parsed copies see it.
TEST_F(RegistryFile, ChangesReplaceTheFileWhole) {
    namespace fs = std::filesystem;
    ASSERT_EQ(m_key.SetString("Pad", "first"), 0);
    const std::string version = testutil::ReadAll(m_reg.file());
    plat::CFile held;
    ASSERT_EQ(held.Open(m_reg.file().c_str(), plat::kOpenRead), 0);
    fs::file_time_type last = fs::last_write_time(m_reg.file());
    for (int i = 2; i < 20; ++i) {
        ASSERT_EQ(m_key.SetString("Pad", std::string(i * 7, 'x').c_str()), 0);
        EXPECT_GT(fs::last_write_time(m_reg.file()), last) << "change " << i;
        last = fs::last_write_time(m_reg.file());
    }
    std::string seen;
    char buf[4096];
    for (int n; (n = held.Read(buf, sizeof(buf))) > 0;) seen.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(seen, version);
    EXPECT_NE(testutil::ReadAll(m_reg.file()).find("\"Pad\"=\"" + std::string(133, 'x') + "\""), std::string::npos);
}

// A settings file that cannot be read whole (here a folder) is an error, never an empty file to write over.
TEST_F(RegistryFile, AnUnreadableFileIsNotTakenForAnEmptyOne) {
    testutil::TempDir dir;
    testutil::WriteAll(dir / "keep", "x");
    testutil::ScopedEnv env("QLSMTP_REGISTRY", dir.path().c_str());
    plat::CRegKey k;
    EXPECT_NE(k.Open(kKey, true), 0);
    EXPECT_EQ(testutil::ReadAll(dir / "keep"), "x");
}

}  // namespace
