// qlsinstall.dll's exports against Wine's real service manager. Its message
// boxes arrive on standard error (QLSMTP_NO_UI=1), shared through the C runtime.
#include <gtest/gtest.h>

#include "platform/win32/win.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/settings_names.h"
#include "setup/strings.h"
#include "test_util.h"

namespace {

using Strings = std::vector<std::string>;

// The first line of each message box that call shows (an error box's system text
// follows on lines of its own).
Strings Boxes(const std::string& file, const std::function<int32_t()>& call) {
    std::fflush(stderr);
    int saved = _dup(2), fd = _open(file.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, 0600);
    _dup2(fd, 2);
    _close(fd);
    EXPECT_EQ(call(), 0);
    std::fflush(stderr);
    _dup2(saved, 2);
    _close(saved);
    Strings lines;
    std::string text = testutil::ReadAll(file);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at - (end > at && text[end - 1] == '\r'));
        for (const char* caption : {QLSINSTALL_TEXT_2 ": ", "Service control: ", "Warning: "})
            if (line.rfind(caption, 0) == 0) lines.push_back(line);
    }
    return lines;
}

// "type start-type path" of the registration, "" when there is none.
std::string Registration(SC_HANDLE scm) {
    SC_HANDLE s = OpenServiceA(scm, qlsmtp::kServiceName, SERVICE_QUERY_CONFIG);
    if (!s) return "";
    std::vector<char> buf(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buf.data());
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceConfigA(s, config, static_cast<DWORD>(buf.size()), &needed));
    CloseServiceHandle(s);
    return std::to_string(config->dwServiceType) + " " + std::to_string(config->dwStartType) + " " +
           config->lpBinaryPathName;
}

TEST(QlsinstallDll, RegistersRefusesAgainAndRemoves) {
    const char* dllPath = std::getenv("QLSINSTALL_DLL");
    ASSERT_TRUE(dllPath) << "QLSINSTALL_DLL names the library";
    HMODULE dll = LoadLibraryA(dllPath);
    ASSERT_TRUE(dll) << dllPath;
    auto init = reinterpret_cast<int32_t (*)(const char*)>(
        reinterpret_cast<void*>(GetProcAddress(dll, "InitializeSMTPService")));
    auto uninst = reinterpret_cast<int32_t (*)(int32_t, int32_t, int32_t)>(
        reinterpret_cast<void*>(GetProcAddress(dll, "UninstInitialize")));
    ASSERT_TRUE(init && uninst && GetProcAddress(dll, "UninstUnInitialize"));
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(scm);
    if (SC_HANDLE left = OpenServiceA(scm, qlsmtp::kServiceName, SERVICE_ALL_ACCESS)) {  // by an earlier run
        DeleteService(left);
        CloseServiceHandle(left);
    }
    testutil::TempDir dir;
    const std::string out = dir / "stderr.txt", path = "C:\\qlsinstall-test\\not-there\\qlsmtpgw.exe";
    const std::string caption = QLSINSTALL_TEXT_2 ": ";
    // An automatically started service of its own process; the start fails, since the program is not there.
    EXPECT_EQ(Boxes(out, [&] { return init(path.c_str()); }),
              (Strings{std::string("Service control: ERROR starting service ") + qlsmtp::kServiceName + ":",
                       caption + QLSINSTALL_TEXT_1}));
    EXPECT_EQ(Registration(scm), "16 2 " + path);
    // An existing registration is left as it is.
    EXPECT_EQ(Boxes(out, [&] { return init("C:\\elsewhere\\qlsmtpgw.exe"); }), Strings{caption + QLSINSTALL_TEXT_5});
    EXPECT_EQ(Registration(scm), "16 2 " + path);
    // Removed without a word; a second removal finds nothing to stop.
    EXPECT_EQ(Boxes(out, [&] { return uninst(0, 0, 0); }), Strings{});
    EXPECT_EQ(Registration(scm), "");
    EXPECT_EQ(Boxes(out, [&] { return uninst(0, 0, 0); }), Strings{caption + QLSINSTALL_TEXT_3});
    plat::CRegKey::DeleteKey(qlsmtp::kEventLogKey);
    CloseServiceHandle(scm);
    FreeLibrary(dll);
}

}  // namespace
