#include <string>

#include "platform/registry.h"
#include "test_util.h"

namespace {

const char kKey[] = "SOFTWARE\\Halvern\\QlsmtpRegistryTest";

TEST(Registry, TypedValuesRoundTrip) {
    testutil::ScratchRegistry reg(kKey);
    plat::CRegKey k;
    EXPECT_EQ(k.Open(kKey, false), plat::kRegNotFound);  // created only when asked
    EXPECT_FALSE(k.IsOpen());
    ASSERT_EQ(k.Open(kKey, true), 0);
    ASSERT_EQ(k.SetDword("Port", 2500), 0);
    ASSERT_EQ(k.SetString("Path", "C:\\data\\ with \"quotes\""), 0);
    ASSERT_EQ(k.SetValue("Exp", plat::kRegExpandSz, "%TEMP%\\x", 9), 0);

    plat::CRegKey r;  // a second handle reads what the first wrote
    ASSERT_EQ(r.Open(kKey, false), 0);
    uint32_t port = 0;
    EXPECT_EQ(r.QueryDword("Port", &port), 0);
    EXPECT_EQ(port, 2500u);
    char buf[64];
    EXPECT_EQ(r.QueryString("Path", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "C:\\data\\ with \"quotes\"");
    uint32_t type = 0, size = sizeof(buf);
    EXPECT_EQ(r.QueryValue("Exp", &type, buf, &size), 0);
    EXPECT_EQ(type, plat::kRegExpandSz);
    EXPECT_STREQ(buf, "%TEMP%\\x");
    // Value names ignore case, as in the registry.
    EXPECT_EQ(r.QueryDword("PORT", &port), 0);

    // Several values in one write: a new one and a replaced one.
    const uint32_t one = 1, next = 7;
    const plat::RegWrite writes[] = {{"Next", plat::kRegDword, &next, 4}, {"port", plat::kRegDword, &one, 4}};
    ASSERT_EQ(k.SetValues(writes, 2), 0);
    EXPECT_EQ(r.QueryDword("Next", &port), 0);
    EXPECT_EQ(port, 7u);
    EXPECT_EQ(r.QueryDword("Port", &port), 0);
    EXPECT_EQ(port, 1u);
}

TEST(Registry, ReadsThatDoNotFitFail) {
    testutil::ScratchRegistry reg(kKey);
    plat::CRegKey k;
    ASSERT_EQ(k.Open(kKey, true), 0);
    ASSERT_EQ(k.SetString("Text", "25000"), 0);
    ASSERT_EQ(k.SetString("Short", "ab"), 0);
    uint32_t v = 7;
    // A string of four characters and its terminator does not fit 4 bytes.
    EXPECT_EQ(k.QueryDword("Text", &v), plat::kRegMoreData);
    // A shorter one is read as raw bytes, as Windows does.
    EXPECT_EQ(k.QueryDword("Short", &v), 0);
    EXPECT_EQ(v, static_cast<uint32_t>('a' | ('b' << 8)));
    char small[4];
    EXPECT_EQ(k.QueryString("Text", small, sizeof(small)), plat::kRegMoreData);
    EXPECT_EQ(k.QueryDword("Missing", &v), plat::kRegNotFound);
}

}  // namespace
