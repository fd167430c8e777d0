#include <filesystem>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/textfile.h"
#include "test_util.h"

namespace {

// Text mode reads CR LF as LF and keeps a lone CR and CTRL-Z, even where
// a CR LF is split across the stream's 4096-byte buffer, and whatever the
// length of the run before a CR; binary mode keeps all.
TEST(TextStream, ReadsCrLfAsNewlineWhateverTheBlockSize) {
    testutil::TempDir dir;
    std::string disk = std::string(4095, 'x') + "\r\nlone\rcr\r\n";
    std::string want = std::string(4095, 'x') + "\nlone\rcr\n";
    for (size_t n = 0; n < 40; ++n) {
        disk += std::string(n, 'l') + (n % 3 ? "\r\n" : "\r");
        want += std::string(n, 'l') + (n % 3 ? "\n" : "\r");
    }
    disk += "end\x1a\r";
    want += "end\x1a\r";
    testutil::WriteAll(dir / "in", disk);
    for (int block : {1, 7, 4096, 4097, 10000}) {
        plat::CTextStream r;
        ASSERT_EQ(r.Open((dir / "in").c_str(), block == 1 ? "rb" : "r"), 0);
        std::string got;
        std::vector<char> buf(static_cast<size_t>(block));
        for (int n; (n = r.Read(buf.data(), block)) > 0;) got.append(buf.data(), static_cast<size_t>(n));
        EXPECT_EQ(got, block == 1 ? disk : want) << block;
    }
}

// What a writer syncs is in the file before it closes, and a sync that the system refuses is an error.
TEST(Files, SyncWritesThroughAndReportsFailure) {
    testutil::TempDir dir;
    plat::CTextStream s;
    ASSERT_EQ(s.Open((dir / "f").c_str(), "w"), 0);
    ASSERT_EQ(s.Write("data\n", 5), 5);
    ASSERT_EQ(s.Sync(), 0);
    EXPECT_EQ(testutil::ReadAll(dir / "f"), "data\r\n");
    if (plat::kPathSep == '/') {  // fsync of a device that cannot sync fails
        plat::CFile null;
        ASSERT_EQ(null.Open("/dev/null", plat::kOpenReadWrite), 0);
        EXPECT_NE(null.Sync(), 0);
    }
}

TEST(Files, ExistingFilesAreNeverOverwrittenOrShared) {
    testutil::TempDir dir;
    testutil::WriteAll(dir / "a", "1");
    testutil::WriteAll(dir / "b", "2");
    plat::CFile f, other;
    EXPECT_EQ(f.Open((dir / "b").c_str(), plat::kCreateNewExclusiveRW), plat::kErrFileExists);
    EXPECT_NE(plat::RenameFile((dir / "a").c_str(), (dir / "b").c_str()), 0);
    EXPECT_EQ(testutil::ReadAll(dir / "b"), "2");
    ASSERT_EQ(f.Open((dir / "b").c_str(), plat::kOpenReadExclusive), 0);
    EXPECT_EQ(other.Open((dir / "b").c_str(), plat::kOpenReadExclusive), plat::kErrSharingViolation);
    f.Close();
    EXPECT_EQ(other.Open((dir / "b").c_str(), plat::kOpenReadExclusive), 0);
}

// The patterns the gateway lists by: case ignored, the whole name matched.
TEST(Files, DirectoryListingByPattern) {
    testutil::TempDir dir;
    for (const char* n : {"a.tmp", "B.TMP", ".hidden.tmp", "c.err", "d.tmpx", "e.tmp.err", "1.qmx", "1.qmx.part"})
        testutil::WriteAll(dir / n, "");
    plat::MakeDirectory((dir / "sub.tmp").c_str());
    EXPECT_EQ(testutil::List(dir.path(), "*.tmp"),
              (std::vector<std::string>{".hidden.tmp", "B.TMP", "a.tmp", "sub.tmp"}));
    EXPECT_EQ(testutil::List(dir.path(), "*.qmx"), std::vector<std::string>{"1.qmx"});
}

// A folder opens as no file, in any mode, with "access denied" as on Windows.
TEST(Files, FolderIsNoFile) {
    testutil::TempDir dir;
    for (plat::FileMode mode : {plat::kOpenRead, plat::kOpenReadExclusive, plat::kOpenReadWrite, plat::kCreateTruncRW,
                                plat::kOpenAppend}) {
        plat::FileHandle h;
        EXPECT_EQ(plat::FileOpen(dir.path().c_str(), mode, &h), 5) << mode;
    }
}

// A folder only this account can write (made so or narrowed on Linux); a file or a link in its place is refused.
TEST(Files, PrivateDirectoryIsOwnersOnlyAndNeverALink) {
    namespace fs = std::filesystem;
    testutil::TempDir dir;
    fs::create_directory(dir / "open");
    fs::permissions(dir / "open", fs::perms::all);
    for (const std::string& p : {dir / "made", dir / "open"}) {
        EXPECT_EQ(plat::MakePrivateDirectory(p.c_str()), 0);
        EXPECT_TRUE(plat::kPathSep != '/' || (fs::status(p).permissions() & fs::perms::mask) == fs::perms::owner_all);
    }
    testutil::WriteAll(dir / "file", "");
    EXPECT_EQ(plat::MakePrivateDirectory((dir / "file").c_str()), plat::kErrUnsafeFolder);
    std::error_code ec;
    fs::create_directory_symlink(dir / "open", dir / "link", ec);
    EXPECT_TRUE(ec || plat::MakePrivateDirectory((dir / "link").c_str()) == plat::kErrUnsafeFolder);
}

// Inserts without a string stay empty, and the text is cut to the buffer.
TEST(EventLog, MessagesExpandInsertsWithinTheirBuffer) {
    const char* s[] = {"Quillon SMTP Server"};
    char out[256];
    plat::FormatEventMessage("%1 and %2.\r\n", s, 1, out, sizeof(out));
    EXPECT_STREQ(out, "Quillon SMTP Server and .");
    plat::FormatEventMessage("%1%1%1", s, 1, out, 10);
    EXPECT_STREQ(out, "Quillon S");
}

}  // namespace
