// The Windows backend against the native API and what other programs (the
// registry editor, the fax server) leave.
#include <gtest/gtest.h>

#include "platform/win32/win.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "test_util.h"

namespace {

// A string read needs room for its terminator, which a value the registry editor wrote may lack.
TEST(Win32Registry, StringsNeedRoomForTheTerminator) {
    const std::string name = "SOFTWARE\\Halvern\\QlsmtpWin32Test" + std::to_string(plat::ProcessId());
    testutil::ScratchRegistry reg(name.c_str());
    HKEY native = nullptr;
    ASSERT_EQ(0, RegCreateKeyExA(HKEY_LOCAL_MACHINE, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &native,
                                 nullptr));
    ASSERT_EQ(0, RegSetValueExA(native, "WithNul", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 4));
    ASSERT_EQ(0, RegSetValueExA(native, "NoNul", 0, REG_BINARY, reinterpret_cast<const BYTE*>("abcd"), 4));
    plat::CRegKey key;
    ASSERT_EQ(0, key.Open(name.c_str(), false));
    const struct { const char* name; uint32_t bufSize; long result; const char* text; } cases[] = {
        {"WithNul", 3, 234, nullptr}, {"WithNul", 4, 0, "abc"}, {"NoNul", 4, 234, nullptr}, {"NoNul", 5, 0, "abcd"}};
    for (const auto& c : cases) {
        char buf[80];
        std::memset(buf, 'x', sizeof(buf));
        EXPECT_EQ(c.result, key.QueryString(c.name, buf, c.bufSize)) << c.name << " " << c.bufSize;
        if (c.text) {
            EXPECT_STREQ(c.text, buf) << c.name << " " << c.bufSize;
        }
    }
    RegCloseKey(native);
}

// The exclusive open denies the others; the fax server's open without sharing denies every open of ours.
TEST(Win32Files, SharingWithOtherPrograms) {
    testutil::TempDir dir;
    const std::string p = dir / "q.tmp";
    testutil::WriteAll(p, "data");
    plat::CFile held;
    ASSERT_EQ(0, held.Open(p.c_str(), plat::kOpenReadExclusive));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA(p.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    held.Close();
    HANDLE h = CreateFileA(p.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    plat::FileHandle f = plat::kInvalidFile;
    for (plat::FileMode m : {plat::kOpenRead, plat::kOpenReadExclusive, plat::kOpenReadWrite})
        EXPECT_EQ(plat::kErrSharingViolation, plat::FileOpen(p.c_str(), m, &f)) << m;
    CloseHandle(h);
}

// The message table compiled into the gateway program holds, under resource
// id 1 in US English and with plain ids, the same texts as the table that the
// Linux event log uses: both come from the one message source.
TEST(Win32EventLog, ProgramMessageTableMatchesTheSharedTexts) {
    std::string exe;
    if (!plat::GetEnv("QLSMTPGW_EXE", &exe)) GTEST_SKIP() << "QLSMTPGW_EXE is not set";
    if (!exe.empty() && exe[0] == '/') {  // a Linux path, seen through Wine's drive Z:
        std::replace(exe.begin(), exe.end(), '/', '\\');
        exe = "Z:" + exe;
    }
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << exe << " error " << GetLastError();
    const WORD us = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    EXPECT_NE(nullptr, FindResourceExA(module, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1), us));
    for (uint32_t id = 419; id <= 460; ++id) {
        char* text = nullptr;
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 module, id, us, reinterpret_cast<LPSTR>(&text), 0, nullptr);
        const char* shared = plat::EventMessageText(id);
        EXPECT_EQ(std::string(shared ? shared : ""), std::string(text ? text : "", n)) << id;
        if (text) LocalFree(text);
    }
    FreeLibrary(module);
}

}  // namespace
