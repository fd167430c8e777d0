// The file manager: queue files in IN, raw message files in OUT, the
// TmpIndex counter, line reads and the recovery after a restart.
#include <set>

#include "gateway/smtp_in/smtp_test_util.h"

using namespace rxtest;

namespace {

std::string OpenNext(CFileMan& fm, plat::FileHandle* h) {
    char path[300] = {};
    return fm.Que_OpenMsg(h, path, sizeof(path)) == 0 ? path : "";
}

// FileNameUse is cleared at start; hidden names and folders are no queue
// files; a held file is passed over; each open file is closed by its handle.
TEST(CFileManTest, QueueFiles) {
    TestSettings s;
    s.SetDword(qlsmtp::kValFileNameUse, 1);
    for (const char* n : {".hidden.tmp", "a.tmp", "b.tmp", "c.tmp"}) WriteAll(s.InFile(n), "TO: x\r\n");
    plat::MakeDirectory(s.InFile("folder.tmp").c_str());
    CFileMan fm;
    EXPECT_EQ(s.GetDword(qlsmtp::kValFileNameUse), 0u);
    int count = 0;
    EXPECT_EQ(fm.GetQueueCount(&count) + count, 3);
    plat::CFile holder;
    ASSERT_EQ(holder.Open(s.InFile("b.tmp").c_str(), plat::kOpenReadExclusive), 0);
    plat::FileHandle h[3];
    EXPECT_EQ((std::set<std::string>{OpenNext(fm, &h[0]), OpenNext(fm, &h[1])}),
              (std::set<std::string>{s.InFile("a.tmp"), s.InFile("c.tmp")}));
    EXPECT_EQ(OpenNext(fm, &h[2]), "");
    holder.Close();
    EXPECT_EQ(OpenNext(fm, &h[2]), s.InFile("b.tmp"));
    EXPECT_EQ(fm.CloseAndDelete(h[0]), 0);
    EXPECT_EQ(fm.CloseQueueFile(h[1]), 0);
    EXPECT_EQ(fm.CloseAndDelete(h[2]), 0);
    EXPECT_EQ(List(s.In()).size(), 3u) << "the hidden file, the folder and the one closed";
}

// The counter names the raw file, is stored a block of numbers ahead, wraps,
// and passes over numbers whose file (or its data) still exists.
TEST(CFileManTest, TmpIndexNamesTheRawFile) {
    struct {
        uint32_t start, stored;
        const char* name;
    } cases[] = {{41, 73, "41.qmx"}, {65534, 31, "65534.qmx"}, {70000, 32, "0.qmx"}, {5, 37, "7.qmx"}};
    TestSettings s;
    WriteAll(s.OutFile("5.qmx"), "waiting for hand-off");
    WriteAll(s.OutFile("6.qmx.part"), "being received");
    for (const auto& c : cases) {
        s.SetDword(qlsmtp::kValTmpIndex, c.start);
        CFileMan fm;
        plat::FileHandle h;
        char path[300];
        ASSERT_EQ(fm.QUE_AddMsg(&h, path, sizeof(path)), 0);
        EXPECT_EQ(std::string(path), s.OutFile(c.name));
        EXPECT_EQ(s.GetDword(qlsmtp::kValTmpIndex), c.stored);
        EXPECT_FALSE(plat::PathExists(path)) << "named only once committed";
        EXPECT_EQ(fm.WriteString(h, "Received: x\r\n"), 13);
        ASSERT_EQ(fm.CommitMsg(h, path), 0);
        EXPECT_EQ(ReadAll(path), "Received: x\r\n");
        plat::RemoveFile(path);
    }
    {  // within a block the numbers follow on without a rewrite
        s.SetDword(qlsmtp::kValTmpIndex, 100);
        CFileMan fm;
        for (const char* name : {"100.qmx", "101.qmx"}) {
            plat::FileHandle h;
            char path[300];
            ASSERT_EQ(fm.QUE_AddMsg(&h, path, sizeof(path)), 0);
            EXPECT_EQ(std::string(path), s.OutFile(name));
            fm.DiscardMsg(h, path);
        }
        EXPECT_EQ(s.GetDword(qlsmtp::kValTmpIndex), 132u);
    }
    // At start-up the data of unacknowledged messages go; raw message files
    // are listed oldest first, whatever their numbers.
    for (const char* n : {"10.qmx", "9.qmx"}) {
        plat::SleepMs(30);
        WriteAll(s.OutFile(n), n);
    }
    std::vector<std::string> raw;
    CFileMan().RecoverReceived(&raw);
    EXPECT_EQ(raw, (std::vector<std::string>{s.OutFile("5.qmx"), s.OutFile("10.qmx"), s.OutFile("9.qmx")}));
    EXPECT_EQ(List(s.Out()), (std::vector<std::string>{"10.qmx", "5.qmx", "9.qmx"}));
    // The data of a message this process is still receiving stay.
    CFileMan fm;
    plat::FileHandle h;
    char path[300];
    ASSERT_EQ(fm.QUE_AddMsg(&h, path, sizeof(path)), 0);
    fm.RecoverReceived(&raw);
    EXPECT_TRUE(plat::PathExists((std::string(path) + ".part").c_str()));
    fm.DiscardMsg(h, path);
}

// The buffered PieceReader gives ReadFileLine's pieces, also for lines over
// the end of its 64 KB block; a last line without LF is dropped.
TEST(CFileManTest, LineReads) {
    TestSettings s;
    const std::string data = "ab\ncd\r\n" + std::string(65530, 'a') + "\n" + std::string(300, 'b') + "\nend";
    WriteAll(s.InFile("lines.txt"), data);
    for (int size : {4, 7, 200}) {
        plat::CFile byByte, buffered;
        ASSERT_EQ(byByte.Open(s.InFile("lines.txt").c_str(), plat::kOpenRead), 0);
        ASSERT_EQ(buffered.Open(s.InFile("lines.txt").c_str(), plat::kOpenRead), 0);
        filestore::PieceReader reader(buffered.Get());
        char expected[200], got[200];
        std::string joined;
        for (int n; (n = filestore::ReadFileLine(byByte.Get(), expected, size)) > 0; joined.append(got, static_cast<size_t>(n))) {
            ASSERT_EQ(reader.Next(got, size), n);
            ASSERT_EQ(std::string(got, static_cast<size_t>(n)), std::string(expected, static_cast<size_t>(n)));
        }
        EXPECT_EQ(reader.Next(got, size), 0);
        EXPECT_EQ(joined, data.substr(0, data.size() - 3)) << size;
    }
}

}  // namespace
