#include <filesystem>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/textfile.h"
#include "test_util.h"

namespace {

struct TextCase {
    const char* name;
    const char* mode;
    std::string written;
    std::string onDisk;
};

// Each case is written twice, through two opens: "a+" appends, the others truncate.
TEST(TextStream, WritesNewlineAsCrLfOnlyInTextMode) {
    const TextCase cases[] = {
        {"plain", "w", "a\nb\n", "a\r\nb\r\n"},
        {"existing crlf", "w", "a\r\n", "a\r\r\n"},
        {"binary", "wb", "a\nb\r\n", "a\nb\r\n"},
        {"ctrl-z is data", "w", std::string("x\x1ay\n"), std::string("x\x1ay\r\n")},
        {"append", "a+", "one\n", "one\r\none\r\n"},
    };
    testutil::TempDir dir;
    for (const TextCase& c : cases) {
        std::string path = dir / c.name;
        for (int i = 0; i < 2; ++i) {
            plat::CTextStream s;
            ASSERT_EQ(s.Open(path.c_str(), c.mode), 0) << c.name;
            ASSERT_EQ(s.Write(c.written.data(), static_cast<int>(c.written.size())), static_cast<int>(c.written.size()));
            ASSERT_EQ(s.Close(), 0);
        }
        EXPECT_EQ(testutil::ReadAll(path), c.onDisk) << c.name;
    }
}

TEST(TextStream, ReadingTurnsCrLfIntoNewlineAndKeepsLoneCr) {
    testutil::TempDir dir;
    std::string path = dir / "in.txt";
    // A CR LF pair split across the stream's buffer boundary must still join.
    std::string disk(4095, 'x');
    disk += "\r\nlone\rcr\r\nend\x1a\r";
    testutil::WriteAll(path, disk);
    plat::CTextStream s;
    ASSERT_EQ(s.Open(path.c_str(), "r"), 0);
    std::string got;
    for (int c; (c = s.GetC()) >= 0;) got.push_back(static_cast<char>(c));
    std::string want(4095, 'x');
    want += "\nlone\rcr\nend\x1a\r";
    EXPECT_EQ(got, want);

    // Block reads translate the same way, whatever the block size.
    for (int block : {1, 7, 4096, 4097, 10000}) {
        plat::CTextStream r;
        ASSERT_EQ(r.Open(path.c_str(), "r"), 0);
        std::string blocks;
        std::vector<char> buf(static_cast<size_t>(block));
        for (int n; (n = r.Read(buf.data(), block)) > 0;) blocks.append(buf.data(), static_cast<size_t>(n));
        EXPECT_EQ(blocks, want) << block;
    }

    plat::CTextStream b;
    ASSERT_EQ(b.Open(path.c_str(), "rb"), 0);
    got.clear();
    for (int c; (c = b.GetC()) >= 0;) got.push_back(static_cast<char>(c));
    EXPECT_EQ(got, disk);
}

TEST(TextStream, GetSReturnsLinesInPieces) {
    testutil::TempDir dir;
    std::string path = dir / "lines.txt";
    testutil::WriteAll(path, "0123456789\r\nab\r\nlast");
    plat::CTextStream s;
    ASSERT_EQ(s.Open(path.c_str(), "r"), 0);
    char buf[6];
    std::vector<std::string> pieces;
    while (s.GetS(buf, sizeof(buf))) pieces.push_back(buf);
    EXPECT_EQ(pieces, (std::vector<std::string>{"01234", "56789", "\n", "ab\n", "last"}));
}

TEST(Files, ExclusiveOpenGivesSharingViolation) {
    testutil::TempDir dir;
    std::string path = dir / "q.tmp";
    testutil::WriteAll(path, "x");
    plat::CFile holder;
    ASSERT_EQ(holder.Open(path.c_str(), plat::kOpenReadExclusive), 0);
    plat::CFile other;
    EXPECT_EQ(other.Open(path.c_str(), plat::kOpenReadExclusive), plat::kErrSharingViolation);
    holder.Close();
    EXPECT_EQ(other.Open(path.c_str(), plat::kOpenReadExclusive), 0);
}

// The patterns the gateway lists by: case ignored, the whole name matched.
TEST(Files, DirectoryListingByPattern) {
    testutil::TempDir dir;
    for (const char* n : {"a.tmp", "B.TMP", ".hidden.tmp", "c.err", "d.tmpx", "e.tmp.err", "1.qmx", "1.qmx.part"})
        testutil::WriteAll(dir / n, "");
    plat::MakeDirectory((dir / "sub.tmp").c_str());
    EXPECT_EQ(testutil::List(dir.path(), "*.tmp"), (std::vector<std::string>{".hidden.tmp", "B.TMP", "a.tmp", "sub.tmp"}));
    EXPECT_EQ(testutil::List(dir.path(), "*.qmx"), std::vector<std::string>{"1.qmx"});
    EXPECT_EQ(testutil::List(dir.path(), "*.qmx.part"), std::vector<std::string>{"1.qmx.part"});
    std::vector<plat::DirEntry> entries;
    EXPECT_NE(plat::ListDirectory((dir / "none").c_str(), "*", &entries), 0);
}

TEST(Files, CreateNewRenameAndCopyKeepAnExistingFile) {
    testutil::TempDir dir;
    testutil::WriteAll(dir / "a", "1");
    testutil::WriteAll(dir / "b", "2");
    plat::CFile f;
    EXPECT_EQ(f.Open((dir / "b").c_str(), plat::kCreateNewExclusiveRW), plat::kErrFileExists);
    EXPECT_EQ(f.Open((dir / "missing" + plat::kPathSep + "x").c_str(), plat::kCreateTruncRW), plat::kErrPathNotFound);
    EXPECT_NE(plat::RenameFile((dir / "a").c_str(), (dir / "b").c_str()), 0);
    EXPECT_EQ(testutil::ReadAll(dir / "b"), "2");
    EXPECT_EQ(plat::RenameFile((dir / "a").c_str(), (dir / "c").c_str()), 0);
    EXPECT_FALSE(plat::PathExists((dir / "a").c_str()));
    EXPECT_EQ(plat::CopyFile((dir / "c").c_str(), (dir / "b").c_str(), true), 0);
    EXPECT_EQ(testutil::ReadAll(dir / "b"), "1");
}

// A folder that only this account can write: made so or narrowed (Linux);
// a file or a symbolic link in its place is refused.
TEST(Files, PrivateDirectoryIsOwnersOnlyAndNeverALink) {
    namespace fs = std::filesystem;
    testutil::TempDir dir;
    const std::string made = dir / "made", open = dir / "open", file = dir / "file", link = dir / "link";
    EXPECT_EQ(plat::MakePrivateDirectory(made.c_str()), 0);
    EXPECT_EQ(plat::MakePrivateDirectory(made.c_str()), 0);
    fs::create_directory(open);
    fs::permissions(open, fs::perms::all);
    EXPECT_EQ(plat::MakePrivateDirectory(open.c_str()), 0);
    if (plat::kPathSep == '/') {  // Windows keeps the permissions a folder inherits
        for (const std::string& p : {made, open})
            EXPECT_EQ(fs::status(p).permissions() & fs::perms::mask, fs::perms::owner_all) << p;
    }
    testutil::WriteAll(file, "");
    EXPECT_EQ(plat::MakePrivateDirectory(file.c_str()), plat::kErrUnsafeFolder);
    std::error_code ec;
    fs::create_directory_symlink(made, link, ec);
    if (!ec) {
        EXPECT_EQ(plat::MakePrivateDirectory(link.c_str()), plat::kErrUnsafeFolder);
        fs::remove(link);
    }
}

}  // namespace
