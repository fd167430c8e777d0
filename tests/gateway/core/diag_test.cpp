#include <string>

#include "gateway/core/diag.h"
#include "test_util.h"

namespace {

// Each line is cut to fit 260 bytes; a log that cannot be opened costs the
// line and nothing else, not even the caller's last error.
TEST(Diagnostics, DebugLogLines) {
    testutil::TempDir dir;
    SetDebugLogForTest(true, (dir / "debug.log").c_str());
    DebugLog("100% %s done", "C:\\src\\gateway\\C_WINSOC.CPP", 42);
    DebugLog("posix", "/src/gateway/smtp_in.cpp", 7);
    DebugLog(std::string(400, 'x').c_str(), "f.cpp", 1);
    EXPECT_EQ(testutil::ReadAll(dir / "debug.log"),
              "42 C_WINSOC.CPP - 100% %s done\r\n7 smtp_in.cpp - posix\r\n1 f.cpp - " + std::string(249, 'x'));
    const std::string unwritable = dir / "missing" + plat::kPathSep + "log";
    SetDebugLogForTest(true, unwritable.c_str());
    plat::SetLastError(1234);
    DebugLog("lost", "f.cpp", 1);
    EXPECT_EQ(plat::LastError(), 1234);
    EXPECT_FALSE(plat::PathExists(unwritable.c_str()));
    SetDebugLogForTest(false, "");
}

}  // namespace
