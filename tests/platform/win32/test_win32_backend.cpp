// The Windows backend against the native API: values and files that other
// programs (the registry editor, the fax server) create must read the same
// way through the platform layer, and the error codes must be Windows' own.
#include <gtest/gtest.h>

#include "platform/win32/win.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "test_util.h"

namespace {

std::string TestKey() {
    return "SOFTWARE\\Halvern\\QlsmtpWin32Test" + std::to_string(plat::ProcessId());
}

class RegistryTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, TestKey().c_str(), 0, nullptr, 0,
                                     KEY_ALL_ACCESS, nullptr, &m_native, nullptr));
        ASSERT_EQ(0, m_key.Open(TestKey().c_str(), false));
    }
    void TearDown() override {
        m_key.Close();
        if (m_native) RegCloseKey(m_native);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, TestKey().c_str());
    }
    void PutNative(const char* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(0, RegSetValueExA(m_native, name, 0, type, static_cast<const BYTE*>(data), size));
    }

    HKEY m_native = nullptr;
    plat::CRegKey m_key;
};

TEST_F(RegistryTest, QueryStringNeedsRoomForTheTerminator) {
    PutNative("WithNul", REG_SZ, "abc", 4);
    PutNative("NoNul", REG_BINARY, "abcd", 4);
    struct Case {
        const char* name;
        uint32_t bufSize;
        long result;
        const char* text;
    } cases[] = {
        {"WithNul", 3, 234, nullptr}, {"WithNul", 4, 0, "abc"},   {"WithNul", 80, 0, "abc"},
        {"NoNul", 4, 234, nullptr},   {"NoNul", 5, 0, "abcd"},    {"Missing", 80, 2, nullptr},
    };
    for (const Case& c : cases) {
        char buf[80];
        std::memset(buf, 'x', sizeof(buf));
        EXPECT_EQ(c.result, m_key.QueryString(c.name, buf, c.bufSize)) << c.name << " " << c.bufSize;
        if (c.text) {
            EXPECT_STREQ(c.text, buf) << c.name << " " << c.bufSize;
        }
    }
}

TEST_F(RegistryTest, WritesAreTheRegistryEditorsTypes) {
    ASSERT_EQ(0, m_key.SetString("DomainName", "fax.example.com"));
    ASSERT_EQ(0, m_key.SetDword("SmtpRxPort", 0x9c4));
    char buf[64] = {};
    DWORD type = 0, size = sizeof(buf);
    ASSERT_EQ(0, RegQueryValueExA(m_native, "DomainName", nullptr, &type,
                                  reinterpret_cast<BYTE*>(buf), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(16u, size);  // text and terminator
    EXPECT_STREQ("fax.example.com", buf);
    DWORD port = 0;
    size = sizeof(port);
    ASSERT_EQ(0, RegQueryValueExA(m_native, "SmtpRxPort", nullptr, &type,
                                  reinterpret_cast<BYTE*>(&port), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(0x9c4u, port);
}

class FileTest : public testing::Test {
protected:
    std::string Path(const char* name) const { return m_dir / name; }
    void Put(const char* name, const char* text) { testutil::WriteAll(Path(name), text); }

    testutil::TempDir m_dir;
};

TEST_F(FileTest, ExclusiveOpensDenySharingWithOtherHandles) {
    Put("q.tmp", "data");
    std::string p = Path("q.tmp");
    {
        plat::CFile held;
        ASSERT_EQ(0, held.Open(p.c_str(), plat::kOpenReadExclusive));
        HANDLE h = CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(INVALID_HANDLE_VALUE, h);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    }
    // The fax server writing a queue file with no sharing.
    HANDLE h = CreateFileA(p.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    plat::FileHandle f = plat::kInvalidFile;
    for (plat::FileMode m : {plat::kOpenRead, plat::kOpenReadExclusive, plat::kOpenReadWrite}) {
        EXPECT_EQ(plat::kErrSharingViolation, plat::FileOpen(p.c_str(), m, &f)) << m;
        EXPECT_EQ(plat::kInvalidFile, f);
    }
    CloseHandle(h);
    // Shared opens coexist.
    plat::CFile a, b;
    EXPECT_EQ(0, a.Open(p.c_str(), plat::kOpenRead));
    EXPECT_EQ(0, b.Open(p.c_str(), plat::kOpenReadWrite));
}

TEST_F(FileTest, AppendWritesAlwaysLandAtTheEnd) {
    std::string p = Path("log.txt");
    plat::CFile a, b;
    ASSERT_EQ(0, a.Open(p.c_str(), plat::kOpenAppend));
    ASSERT_EQ(0, b.Open(p.c_str(), plat::kOpenAppend));
    EXPECT_EQ(4, a.Write("1111", 4));
    EXPECT_EQ(2, b.Write("22", 2));
    EXPECT_EQ(0, a.Seek(0, 0));
    EXPECT_EQ(2, a.Write("33", 2));
    EXPECT_EQ(0, a.Sync());
    EXPECT_EQ(0, a.Seek(0, 0));
    char buf[16] = {};
    EXPECT_EQ(8, a.Read(buf, sizeof(buf) - 1));
    EXPECT_STREQ("11112233", buf);
}

TEST_F(FileTest, ErrorsAreWindowsCodes) {
    Put("a.txt", "a");
    Put("b.txt", "b");
    plat::FileHandle f;
    EXPECT_EQ(2, plat::FileOpen(Path("none.txt").c_str(), plat::kOpenRead, &f));
    EXPECT_EQ(3, plat::FileOpen(Path("nodir\\x.txt").c_str(), plat::kCreateTruncRW, &f));
    EXPECT_EQ(5, plat::FileOpen(m_dir.path().c_str(), plat::kOpenRead, &f));
    EXPECT_EQ(80, plat::FileOpen(Path("a.txt").c_str(), plat::kCreateNewExclusiveRW, &f));
    EXPECT_EQ(183, plat::MakeDirectory(Path("").c_str()));
    EXPECT_EQ(3, plat::MakeDirectory(Path("x\\y").c_str()));
    EXPECT_EQ(183, plat::RenameFile(Path("a.txt").c_str(), Path("b.txt").c_str()));
    EXPECT_EQ(80, plat::CopyFile(Path("a.txt").c_str(), Path("b.txt").c_str(), false));
    EXPECT_EQ(0, plat::CopyFile(Path("a.txt").c_str(), Path("b.txt").c_str(), true));
    EXPECT_EQ(2, plat::RemoveFile(Path("none.txt").c_str()));
    EXPECT_EQ(6, plat::FileClose(plat::kInvalidFile));
    EXPECT_EQ(-1, plat::FileRead(plat::kInvalidFile, &f, 1));
}

TEST_F(FileTest, ModifiedTimeIsUnixNanoseconds) {
    Put("m.txt", "m");
    int64_t now = static_cast<int64_t>(std::time(nullptr)) * 1000000000;
    int64_t t = plat::FileModifiedTime(Path("m.txt").c_str());
    EXPECT_LT(std::llabs(t - now), 120LL * 1000000000);
    EXPECT_EQ(0, plat::FileModifiedTime(Path("none.txt").c_str()));
}

TEST_F(FileTest, ListingMatchesLongNamesOnlyAndReportsAttributes) {
    Put("ENV1.tmp", "");
    Put("queue.TMP", "");
    Put("longname.tmpl", "");  // its short name LONGNA~1.TMP must not match
    Put("hidden.tmp", "");
    ASSERT_TRUE(SetFileAttributesA(Path("hidden.tmp").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_EQ(0, plat::MakeDirectory(Path("sub.tmp").c_str()));
    std::vector<plat::DirEntry> entries;
    ASSERT_EQ(0, plat::ListDirectory((m_dir.path() + "\\").c_str(), "*.tmp", &entries));
    std::vector<std::string> names;
    for (const plat::DirEntry& e : entries) {
        names.push_back(e.name);
        EXPECT_EQ(e.name == "hidden.tmp", e.isHidden) << e.name;
        EXPECT_EQ(e.name == "sub.tmp", e.isDirectory) << e.name;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"ENV1.tmp", "hidden.tmp", "queue.TMP", "sub.tmp"}), names);

    // Without a trailing separator and with a missing folder.
    ASSERT_EQ(0, plat::ListDirectory(m_dir.path().c_str(), "ENV?.*", &entries));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("ENV1.tmp", entries[0].name);
    EXPECT_EQ(3, plat::ListDirectory(Path("missing").c_str(), "*", &entries));
    EXPECT_TRUE(entries.empty());
}

TEST(Win32System, ErrorTextIsTheSystemsWithoutLineEnd) {
    for (int code : {2, 32, 10061}) {
        std::string text = plat::ErrorText(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_NE('\n', text.back()) << code;
        EXPECT_NE('\r', text.back()) << code;
    }
    EXPECT_EQ("", plat::ErrorText(0x2000ABCD));
    plat::SetLastError(1234);
    EXPECT_EQ(1234, plat::LastError());
}

// A value longer than a first guess is read whole; a lookup, found or not,
// leaves the last error for the error report that may follow it.
TEST(Win32System, EnvironmentLookupsKeepTheLastError) {
    std::string big(1000, 'v'), v = "old";
    ASSERT_TRUE(SetEnvironmentVariableA("QLSMTP_W32_BIG", big.c_str()));
    plat::SetLastError(32);
    EXPECT_FALSE(plat::GetEnv("QLSMTP_W32_UNSET", &v));
    EXPECT_EQ("old", v);
    EXPECT_TRUE(plat::GetEnv("QLSMTP_W32_BIG", &v));
    EXPECT_EQ(big, v);
    EXPECT_EQ(32, plat::LastError());
}

TEST(Win32System, MessagesGoToStandardErrorWithoutUi) {
    ASSERT_TRUE(SetEnvironmentVariableA("QLSMTP_NO_UI", "1"));
    testing::internal::CaptureStderr();
    plat::ShowMessage("Thread Release Error", "Error", plat::kIconError);
    EXPECT_EQ("Error: Thread Release Error\n", testing::internal::GetCapturedStderr());
}

// The message table compiled into the gateway program holds, under resource
// id 1 in US English and with plain ids, the same texts as the table that the
// Linux event log uses: both come from the one message source.
TEST(Win32EventLog, ProgramMessageTableMatchesTheSharedTexts) {
    std::string exe;
    if (!plat::GetEnv("QLSMTPGW_EXE", &exe)) GTEST_SKIP() << "QLSMTPGW_EXE is not set";
    if (!exe.empty() && exe[0] == '/') {  // a Linux path, seen through Wine's drive Z:
        for (char& c : exe)
            if (c == '/') c = '\\';
        exe = "Z:" + exe;
    }
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << exe << " error " << GetLastError();
    EXPECT_NE(nullptr, FindResourceExA(module, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1),
                                       MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
    for (uint32_t id = 419; id <= 441; ++id) {
        char* text = nullptr;
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 module, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                 reinterpret_cast<LPSTR>(&text), 0, nullptr);
        const char* shared = plat::EventMessageText(id);
        if (!shared) {
            EXPECT_EQ(0u, n) << id;
        } else {
            ASSERT_NE(0u, n) << id;
            EXPECT_EQ(std::string(shared), std::string(text, n)) << id;
        }
        if (text) LocalFree(text);
    }
    FreeLibrary(module);
}

TEST(Win32Net, SocketErrorsAreWinsockCodes) {
    testutil::SocketPair l;
    char buf[16] = {};
    ASSERT_EQ(0, plat::SetRecvTimeout(l.server.Get(), 200));
    EXPECT_EQ(-1, plat::Recv(l.server.Get(), buf, sizeof(buf), 0));
    EXPECT_EQ(WSAETIMEDOUT, plat::SocketError());
    ASSERT_EQ(0, plat::SetNonBlocking(l.client.Get(), true));
    EXPECT_EQ(-1, plat::Recv(l.client.Get(), buf, sizeof(buf), plat::kMsgPeek));
    EXPECT_EQ(WSAEWOULDBLOCK, plat::SocketError());

    plat::CSocket other(plat::TcpSocket());
    EXPECT_EQ(-1, plat::Bind(other.Get(), testutil::Loopback(l.port)));
    EXPECT_EQ(WSAEADDRINUSE, plat::SocketError());
    l.listener.Close();
    plat::CSocket late(plat::TcpSocket());
    EXPECT_EQ(-1, plat::Connect(late.Get(), testutil::Loopback(l.port)));
    EXPECT_EQ(WSAECONNREFUSED, plat::SocketError());
}

}  // namespace
