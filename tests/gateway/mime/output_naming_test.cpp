#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "mime_fakes.h"

using mimetest::CDecodeRun;
using testutil::Crlf;

namespace {

TEST(OutputNaming, ExtensionKeepsThreeHarmlessCharacters) {
    struct Case {
        const char* given;
        const char* ext;
    } cases[] = {
        {"report.final.pdf", "fin"}, {"README", ""},        {"archive.tar.gz", "tar"}, {"photo.JPEG", "JPE"},
        {"a.p/d", "pd"},             {"x.\\..\\evil", ""}, {"y.:*?", ""},             {"z.a-_b", "a-_"},
        {"w.\xe9t\xe9", "t"},        {"", ""},              {"dot.", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(mime::AttachmentExtension(c.given), c.ext) << c.given;
}

TEST(OutputNaming, ListedNameCannotBreakTheListLine) {
    EXPECT_EQ(mime::ListedName("plain name.txt"), "plain name.txt");
    EXPECT_EQ(mime::ListedName("x:..\\..\\secret.doc>>"), "x_..\\..\\secret.doc__");
    EXPECT_EQ(mime::ListedName("a\r\nb<c\x7f"), "a__b_c_");
}

TEST(OutputNaming, ReservedDeviceNames) {
    for (const char* name : {"aux", "CON", "Nul", "prn", "com1", "COM4", "lpt1", "LpT3"})
        EXPECT_TRUE(mime::IsReservedDeviceName(name)) << name;
    for (const char* name : {"au", "conx", "com5", "lpt4", "com", "nul.", "", "lpt10"})
        EXPECT_FALSE(mime::IsReservedDeviceName(name)) << name;
}

TEST(OutputNaming, FragmentDirectoryNames) {
    mimetest::CScratchTmp tmp;
    struct Case {
        const char* id;
        const char* name;
    } cases[] = {
        {"<>[]\"/\\", "x"},
        {"con", "conx"},
        {"CoM1", "CoM1x"},
        {"abcdefghijklmnopqrst", "abcdefgh.ijk"},
        {"a/b\\c.d:e", "abcde"},
        {"12345678", "12345678"},
        {"123456789", "12345678.9"},
    };
    mimetest::CRecordingReporter reporter;
    for (const Case& c : cases) {
        std::string path;
        ASSERT_TRUE(mime::PartialDirectory(c.id, &path, reporter)) << c.id;
        EXPECT_EQ(path, tmp.Parts(c.name) + plat::kPathSep) << c.id;
        EXPECT_TRUE(plat::IsDirectory(tmp.Parts(c.name).c_str())) << c.id;
        EXPECT_EQ(mime::RemovePartialDirectory(path), 0);
        EXPECT_FALSE(plat::PathExists(tmp.Parts(c.name).c_str()));
    }
    EXPECT_TRUE(reporter.errors.empty());
}

TEST(OutputNaming, FragmentDirectoryWithoutTmp) {
    testutil::ScopedEnv noTmp("TMP", nullptr);
    mimetest::CRecordingReporter reporter;
    std::string path;
    ASSERT_TRUE(mime::PartialDirectory("qlsmtp-unit-test", &path, reporter));
    std::string expected = std::string(1, plat::kPathSep) + "tmp" + plat::kPathSep + "parts" + plat::kPathSep;
    EXPECT_NE(path.find(expected + "qlsmtp-u.nit"), std::string::npos) << path;
    mime::RemovePartialDirectory(path);
}

TEST(SaveAttachment, TextAndBinaryModes) {
    struct Case {
        const char* headers;
        const char* body;
        std::string file;
        const char* listed;
    } cases[] = {
        {"Content-Type: text/plain; name=\"n.txt\"\n", "l1\nl2\n", "l1\r\nl2\r\n", "<<n.txt:ATT0.txt>>"},
        {"Content-Type: image/gif\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; "
         "filename=p.gif\n",
         "R0lGDQo=\n", "GIF\r\n", "<<p.gif:ATT0.gif>>"},
        {"Content-Type: text/plain\nContent-Transfer-Encoding: base64\nContent-Disposition: attachment; "
         "filename=t.txt\n",
         "bDENCmwyCg==\n", "l1\r\nl2\r\n", "<<t.txt:ATT0.txt>>"},
        {"Content-Type: application/pdf; name=\"x:..\\\\..\\\\secret.doc>>\"\nContent-Transfer-Encoding: "
         "quoted-printable\n",
         "a=0Db\n", "ab\r\n", "<<x_..\\..\\secret.doc__:ATT0.>>"},
    };
    for (const Case& c : cases) {
        CDecodeRun run;
        EXPECT_EQ(run.Decode(std::string(c.headers) + "\n" + c.body), 0);
        EXPECT_EQ(run.files.Read(run.files.attName), c.file) << c.headers;
        EXPECT_EQ(run.List(), Crlf(std::string(c.listed) + "\n")) << c.headers;
        EXPECT_FALSE(run.files.inUse);
    }
}

TEST(SaveAttachment, WaitsWhileTheNameIsInUse) {
    CDecodeRun run;
    run.files.inUse = true;
    run.files.releaseAfter = 3;
    run.Decode("Content-Type: image/png; name=a.png\n\nxx");
    EXPECT_EQ(run.files.pauses, (std::vector<uint32_t>{25000, 25000, 25000}));
    EXPECT_EQ(run.files.Read("ATT0.png"), "xx");
}

TEST(SaveAttachment, DigestMismatchWarnsAndKeepsTheFile) {
    CDecodeRun run;
    // MD5 of "abc" is kAFQmDzST7DWlj99KOF/cg==.
    run.Decode(
        "Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: a/b; name=ok.bin\n"
        "Content-MD5: kAFQmDzST7DWlj99KOF/cg== (trailing)\n\nabc\n--b\nContent-Type: a/b; name=bad.bin\n"
        "Content-MD5: AAAAmDzST7DWlj99KOF/cg==\n\nabc\n--b--\n");
    std::string bad = run.files.Out("ATT1.bin");
    EXPECT_EQ(run.reporter.warnings, (std::vector<std::string>{bad + " was corrupted in transit"}));
    EXPECT_EQ(run.files.Read("ATT1.bin"), "abc");
}

TEST(SaveAttachment, UnwritableAttachmentIsSkipped) {
    CDecodeRun run;
    plat::MakeDirectory(run.files.Out("ATT0.bin").c_str());  // a folder where the file should go
    EXPECT_EQ(run.Decode("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: a/b; name=x.bin\n\n"
                         "data\n--b\n\nafter\n--b--\n"),
              0);
    EXPECT_FALSE(run.files.inUse);
    EXPECT_EQ(run.List(), "<missing>") << "a file that could not be written is not listed";
    EXPECT_EQ(run.Body(), "after");
    plat::RemoveDirectory(run.files.Out("ATT0.bin").c_str());
}

// The hand-off must learn of every output that was not written whole; and
// an attachment name that was never taken leaves the in-use flag alone (it
// may be the fax server's).
TEST(SaveAttachment, FailuresAreReportedAndOnlyItsOwnFlagReleased) {
    const std::string message =
        "From: a@b\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\ntext\n--b\n"
        "Content-Type: a/b; name=x.bin\n\ndata\n--b--\n";
    {
        CDecodeRun run;
        run.files.failAllocate = true;
        run.Decode(message);
        EXPECT_EQ(run.files.releases, 0);
        EXPECT_EQ(run.files.failed.size(), 1u);
    }
    {
        CDecodeRun run;
        plat::MakeDirectory(run.files.Out("ATT0.bin").c_str());
        run.Decode(message);
        EXPECT_EQ(run.files.releases, 1);
        EXPECT_EQ(run.files.failed, std::vector<std::string>{run.files.Out("ATT0.bin")});
        plat::RemoveDirectory(run.files.Out("ATT0.bin").c_str());
    }
    // A full disk: each output in turn is a device that takes no byte.
    std::error_code ec;
    if (!std::filesystem::exists("/dev/full", ec)) GTEST_SKIP() << "no /dev/full here";
    for (const char* name : {"ENV1", "Msgcnt.imp", "ATT0.bin", "~ATTC000.imp"}) {
        CDecodeRun run;
        std::filesystem::create_symlink("/dev/full", run.files.Out(name), ec);
        ASSERT_FALSE(ec) << ec.message();
        run.Decode(message);
        EXPECT_EQ(run.files.failed, std::vector<std::string>{run.files.Out(name)}) << name;
        EXPECT_FALSE(run.files.inUse) << name;
    }
}

TEST(SaveBodyText, TextPartsJoinWithoutSeparator) {
    CDecodeRun run;
    run.Decode(
        "Content-Type: multipart/mixed; boundary=\"xx\"\n\n--xx\n\nfirst text\n--xx\n"
        "Content-Transfer-Encoding: quoted-printable\n\nsecond=20text\n--xx\nContent-Type: image/gif\n"
        "Content-Transfer-Encoding: base64\n\nR0lG\n--xx--\n");
    EXPECT_EQ(run.Body(), "first textsecond text");
    EXPECT_EQ(run.files.Read("ATT0."), "GIF");
    EXPECT_EQ(run.List(), "<<:ATT0.>>\r\n");
}

}  // namespace
