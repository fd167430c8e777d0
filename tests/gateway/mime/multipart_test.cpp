#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "mime_fakes.h"

using mimetest::CDecodeRun;
using testutil::Crlf;

namespace {

TEST(Multipart, SplitsAlongBoundaries) {
    struct Case {
        const char* name;
        std::string message;
        const char* body;
        std::vector<std::string> warnings;
    } cases[] = {
        {"empty preamble", "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nfirst\n--b--\n", "first", {}},
        {"preamble and epilogue",
         "Content-Type: multipart/mixed; boundary=b\n\npreamble\n--b\n\none\n--b\n\ntwo\n--b--\nepilogue\n",
         "onetwo",
         {}},
        {"nested, outer delimiter closes inner",
         "Content-Type: multipart/mixed; boundary=out\n\n--out\nContent-Type: multipart/alternative; "
         "boundary=in\n\n--in\n\nA\n--in\n\nB\n--out\n\nC\n--out--\n",
         "ABC",
         {}},
        {"no closing delimiter", "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nx\n--b\n\ny\n", "xy\r\n", {}},
        {"no boundary parameter", "Content-Type: multipart/mixed\n\n--anything\n\np1\n-- \n\np2\n", "p1p2\r\n",
         {"multipart message has no boundary parameter"}},
        {"headers end at end of input", "Content-Type: multipart/mixed; boundary=b", "<missing>", {}},
    };
    for (const auto& c : cases) {
        CDecodeRun run;
        EXPECT_EQ(run.Decode(c.message), 0) << c.name;
        EXPECT_EQ(run.Body(), c.body) << c.name;
        EXPECT_EQ(run.reporter.warnings, c.warnings) << c.name;
    }
}

TEST(Multipart, DigestPartsAreMessages) {
    CDecodeRun run;
    run.Decode(
        "Subject: digest\nContent-Type: multipart/digest; boundary=d\n\n--d\n\nFrom: one\n\nfirst\n"
        "--d\nContent-Type: text/plain\n\nplain\n--d--\n");
    EXPECT_EQ(run.Envelope(), Crlf("SUBJECT:digest\nFROM:one\n"));
    EXPECT_EQ(run.Body(), "firstplain");
}

TEST(Multipart, AppleDoubleTextIsAnAttachment) {
    CDecodeRun run;
    run.Decode(
        "Content-Type: multipart/appledouble; boundary=a\n\n--a\nContent-Type: application/applefile\n\nhdr\n"
        "--a\nContent-Type: text/plain\n\ndata\n--a--\n");
    EXPECT_EQ(run.Body(), "<missing>");
    EXPECT_EQ(run.files.next, 2);
}

// Fragments of one message sent as separate mails.
class Partial : public ::testing::Test {
protected:
    static std::string Fragment(int n, const char* total, const std::string& body) {
        std::string m = "From: sender\nSubject: big\nContent-Type: message/partial; id=\"msg-42@host\"; number=" +
                        std::to_string(n);
        if (total) m += std::string("; total=") + total;
        return m + "\n\n" + body;
    }

    mimetest::CScratchTmp m_tmp;
};

TEST_F(Partial, FragmentsJoinWhenTheLastArrives) {
    const std::string dir = m_tmp.Parts("msg-42@h.ost");
    CDecodeRun run;
    EXPECT_EQ(run.Decode(Fragment(3, "3", "part three\n")), 0);
    EXPECT_EQ(run.Decode(Fragment(1, nullptr,
                                  "Content-Type: text/plain\nMessage-ID: <m@h>\nX-Dropped: yes\n\npart one\n")),
              0);
    EXPECT_EQ(run.Body(), "<missing>") << "nothing is decoded before all have arrived";
    EXPECT_TRUE(plat::IsDirectory(dir.c_str()));
    EXPECT_EQ(run.Decode(Fragment(2, nullptr, "part two\n")), 0);
    EXPECT_EQ(run.Body(), Crlf("part one\npart two\npart three\n"));
    EXPECT_FALSE(plat::PathExists(dir.c_str())) << "the fragment store is removed";
    // Each mail adds its own envelope lines; the joined message adds its own.
    EXPECT_EQ(run.Envelope(), Crlf(std::string("FROM:sender\nSUBJECT:big\n") + "FROM:sender\nSUBJECT:big\n" +
                                   "FROM:sender\nSUBJECT:big\n" + "FROM:sender\nSUBJECT:big\n"));
}

TEST_F(Partial, RejectedFragments) {
    struct Case {
        std::string params;
        const char* warning;
    } cases[] = {
        {"number=1; total=3", "partial message has no id parameter"},
        {"id=a; total=3", "partial message doesn't have number parameter"},
        {"id=a; number=99999999999", "partial message doesn't have number parameter"},
        {"id=a; number=2147483648", "partial message doesn't have number parameter"},
        {"id=a; number=1; total=0", "partial message has invalid number of parts"},
        {"id=a; number=1; total=4294967297", "partial message has invalid number of parts"},
        {"id=a; number=0; total=3", "partial message has invalid number"},
        {"id=a; number=4; total=3", "partial message has invalid number"},
        {"id=a; number=x", "partial message has invalid number"},
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        EXPECT_EQ(run.Decode("Content-Type: message/partial; " + c.params + "\n\nbody\n"), 1) << c.params;
        EXPECT_EQ(run.reporter.warnings, (std::vector<std::string>{c.warning})) << c.params;
    }
}

TEST_F(Partial, TotalFromAnEarlierFragment) {
    CDecodeRun run;
    run.Decode(Fragment(2, "2", "second\n"));
    EXPECT_EQ(run.Decode(Fragment(3, nullptr, "too far\n")), 1);
    EXPECT_EQ(run.reporter.warnings, (std::vector<std::string>{"partial message has invalid number"}));
    run.Decode(Fragment(1, nullptr, "\nfirst\n"));
    EXPECT_EQ(run.Body(), Crlf("first\nsecond\n"));
}

// A store that is a link (on Linux also one of another account) is refused
// with an event; only the fragment is lost, the rest of the mail is decoded.
TEST_F(Partial, StoreThatIsALinkIsRefused) {
    testutil::TempDir planted;
    std::error_code ec;
    std::filesystem::create_directory_symlink(planted.path(), m_tmp.Store(), ec);
    if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
    CDecodeRun run;
    std::string inner = "Content-Type: message/partial; id=m; number=1; total=2\n\n\nfirst\n";
    run.Decode("Content-Type: multipart/mixed; boundary=b\n\n--b\n" + inner + "--b\n\nafter\n--b--\n");
    std::filesystem::remove(m_tmp.Store());
    EXPECT_EQ(run.Body(), "after");
    EXPECT_EQ(run.reporter.refused, std::vector<std::string>{m_tmp.Store()});
    EXPECT_EQ(testutil::List(planted.path()), std::vector<std::string>{});
}

TEST_F(Partial, FragmentInsideMultipart) {
    CDecodeRun run;
    std::string inner = "Content-Type: message/partial; id=m; number=1; total=1\n\n\nwhole\n";
    run.Decode("Content-Type: multipart/mixed; boundary=b\n\n--b\n" + inner + "--b\n\nafter\n--b--\n");
    EXPECT_EQ(run.Body(), "wholeafter");
}

}  // namespace
