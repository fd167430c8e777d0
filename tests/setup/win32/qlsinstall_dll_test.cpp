// qlsinstall.dll as an installer loads it: its export table and string
// table, and its exports against Wine's real service manager and registry.
// Its message boxes arrive on standard error (QLSMTP_NO_UI=1).
#include <gtest/gtest.h>

#include "platform/win32/win.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/settings_names.h"
#include "setup/strings.h"
#include "test_util.h"

namespace {

using Strings = std::vector<std::string>;
using InitializeFn = int32_t (*)(const char*);
using UninstFn = int32_t (*)(int32_t, int32_t, int32_t);

const std::string kCaption = std::string(QLSINSTALL_TEXT_2) + ": ";

// The lines written to standard error while it lives (the library shares
// the program's C runtime, and so its standard error).
class CaptureStderr {
public:
    explicit CaptureStderr(std::string path) : m_path(std::move(path)) {
        std::fflush(stderr);
        m_saved = _dup(2);
        int fd = _open(m_path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        _dup2(fd, 2);
        _close(fd);
    }
    Strings Lines() {
        std::fflush(stderr);
        _dup2(m_saved, 2);
        _close(m_saved);
        Strings lines;
        std::string text = testutil::ReadAll(m_path), line;
        for (char c : text) {
            if (c == '\n') {
                // Only the first line of a box: the system's text of an
                // error box follows on lines of its own.
                for (const char* caption : {QLSINSTALL_TEXT_2 ": ", "Service control: ", "Warning: "}) {
                    if (line.rfind(caption, 0) == 0) lines.push_back(line);
                }
                line.clear();
            } else if (c != '\r') {
                line.push_back(c);
            }
        }
        return lines;
    }

private:
    std::string m_path;
    int m_saved;
};

class QlsinstallDll : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("QLSINSTALL_DLL");
        ASSERT_TRUE(path) << "QLSINSTALL_DLL names the library";
        m_dll = LoadLibraryA(path);
        ASSERT_TRUE(m_dll) << path;
        m_init = Export<InitializeFn>("InitializeSMTPService");
        m_uninst = Export<UninstFn>("UninstInitialize");
        m_uninstDone = Export<UninstFn>("UninstUnInitialize");
        ASSERT_TRUE(m_init && m_uninst && m_uninstDone);
        m_scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_TRUE(m_scm);
        DeleteTheService();
    }
    template <class Fn>
    Fn Export(const char* name) {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m_dll, name)));
    }
    void TearDown() override {
        DeleteTheService();
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, qlsmtp::kEventLogKey);
        if (m_scm) CloseServiceHandle(m_scm);
        if (m_dll) FreeLibrary(m_dll);
    }
    void DeleteTheService() {
        SC_HANDLE s = OpenServiceA(m_scm, qlsmtp::kServiceName, SERVICE_ALL_ACCESS);
        if (s) {
            DeleteService(s);
            CloseServiceHandle(s);
        }
    }
    // The registered program path ("" when not registered); checks the rest
    // of the registration.
    std::string RegisteredPath() {
        SC_HANDLE s = OpenServiceA(m_scm, qlsmtp::kServiceName, SERVICE_QUERY_CONFIG);
        if (!s) return "";
        std::vector<char> buf(8192);
        DWORD needed = 0;
        EXPECT_TRUE(QueryServiceConfigA(s, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data()),
                                        static_cast<DWORD>(buf.size()), &needed));
        CloseServiceHandle(s);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
        EXPECT_STREQ(config->lpDisplayName, qlsmtp::kServiceName);
        EXPECT_TRUE(!config->lpDependencies || !*config->lpDependencies);
        return config->lpBinaryPathName ? config->lpBinaryPathName : "";
    }
    Strings Initialize(const char* path) {
        CaptureStderr capture(m_dir / "stderr.txt");
        EXPECT_EQ(m_init(path), 0);
        return capture.Lines();
    }
    Strings Uninstall() {
        CaptureStderr capture(m_dir / "stderr.txt");
        EXPECT_EQ(m_uninst(0, 0, 0), 0);
        return capture.Lines();
    }

    testutil::TempDir m_dir;
    HMODULE m_dll = nullptr;
    SC_HANDLE m_scm = nullptr;
    InitializeFn m_init = nullptr;
    UninstFn m_uninst = nullptr, m_uninstDone = nullptr;
};

TEST_F(QlsinstallDll, ExportsExactlyTheThreeEntriesAndItsStringTable) {
    auto* base = reinterpret_cast<const BYTE*>(m_dll);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.Size, 0u);
    auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    Strings found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) found.push_back(reinterpret_cast<const char*>(base + names[i]));
    EXPECT_EQ(found, (Strings{"InitializeSMTPService", "UninstInitialize", "UninstUnInitialize"}));
    EXPECT_EQ(exports->NumberOfFunctions, 3u);

    const char* texts[] = {QLSINSTALL_TEXT_1, QLSINSTALL_TEXT_2, QLSINSTALL_TEXT_3, QLSINSTALL_TEXT_4,
                           QLSINSTALL_TEXT_5};
    for (UINT id = 1; id <= 5; ++id) {
        char buf[200] = "";
        EXPECT_GT(LoadStringA(m_dll, id, buf, sizeof(buf)), 0) << id;
        EXPECT_STREQ(buf, texts[id - 1]) << id;
    }
}

TEST_F(QlsinstallDll, RegistersRefusesAgainAndRemovesWithTheRealServiceManager) {
    const std::string path = "C:\\qlsinstall-test\\not-there\\qlsmtpgw.exe";
    const std::string tooLong = "C:\\" + std::string(300, 'p') + ".exe";
    // Nothing usable to register: message 5, nothing registered.
    for (const char* bad : {static_cast<const char*>(nullptr), "", tooLong.c_str()}) {
        EXPECT_EQ(Initialize(bad), (Strings{kCaption + QLSINSTALL_TEXT_5}));
        EXPECT_EQ(RegisteredPath(), "");
    }

    // Registered; the start fails, since the program is not there.
    EXPECT_EQ(Initialize(path.c_str()),
              (Strings{std::string("Service control: ERROR starting service ") + qlsmtp::kServiceName + ":",
                       kCaption + QLSINSTALL_TEXT_1}));
    EXPECT_EQ(RegisteredPath(), path);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, qlsmtp::kEventLogKey, 0, KEY_READ, &key), 0);
    char text[300] = "";
    DWORD type = 0, size = sizeof(text), types = 0;
    EXPECT_EQ(RegQueryValueExA(key, "EventMessageFile", nullptr, &type, reinterpret_cast<BYTE*>(text), &size), 0);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(text, path);
    size = sizeof(types);
    EXPECT_EQ(RegQueryValueExA(key, "TypesSupported", nullptr, &type, reinterpret_cast<BYTE*>(&types), &size), 0);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(types, 7u);
    RegCloseKey(key);

    // An existing registration is left as it is.
    EXPECT_EQ(Initialize("C:\\elsewhere\\qlsmtpgw.exe"), (Strings{kCaption + QLSINSTALL_TEXT_5}));
    EXPECT_EQ(RegisteredPath(), path);

    // Removed without a word; a second removal finds nothing to stop.
    EXPECT_EQ(Uninstall(), Strings{});
    EXPECT_EQ(RegisteredPath(), "");
    EXPECT_EQ(Uninstall(), (Strings{kCaption + QLSINSTALL_TEXT_3}));
    EXPECT_EQ(m_uninstDone(0, 0, 0), 0);
}

}  // namespace
