// The file manager: queue files in IN, raw message files in OUT, the
// TmpIndex counter and the recovery of received messages after a restart.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/smtp_in/smtp_test_util.h"

using namespace rxtest;

namespace {

class CFileManTest : public ::testing::Test {
protected:
    TestSettings m_s;

    void Queue(const std::string& name, const std::string& data = "TO: fax@example.com\r\n") {
        WriteAll(m_s.InFile(name), data);
    }
    // The next queue file Que_OpenMsg gives: its result, path and handle.
    struct Opened {
        int result;
        std::string path;
        plat::FileHandle handle;
    };
    static Opened OpenNext(CFileMan& fm) {
        Opened o;
        char path[300] = {};
        o.result = fm.Que_OpenMsg(&o.handle, path, sizeof(path));
        o.path = path;
        if (o.result != 0) {
            EXPECT_EQ(o.handle, plat::kInvalidFile);
        }
        return o;
    }
};

}  // namespace

TEST_F(CFileManTest, SettingsReadAtStart) {
    m_s.SetDword(qlsmtp::kValFileNameUse, 1);
    CFileMan fm;
    EXPECT_EQ(m_s.GetDword(qlsmtp::kValFileNameUse), 0u);  // cleared at every start
    EXPECT_EQ(std::string(fm.GetProgramPath()), m_s.Data());
    char buf[32] = "unchanged";
    EXPECT_EQ(fm.GetDomainName(buf, 15), 1);  // "fax.example.com" and its terminator need 16
    EXPECT_STREQ(buf, "unchanged");
    EXPECT_EQ(fm.GetDomainName(buf, 16), 0);
    EXPECT_STREQ(buf, kDomain);
}

TEST_F(CFileManTest, NamesBeginningWithDotDoNotCount) {
    for (const char* n : {".hidden.tmp", "..tmp", "notes.txt"}) Queue(n);
    plat::MakeDirectory(m_s.InFile("folder.tmp").c_str());
    CFileMan fm;
    int count = -1;
    EXPECT_EQ(fm.GetQueueCount(&count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(OpenNext(fm).result, 1);

    Queue("real.tmp");
    EXPECT_EQ(fm.GetQueueCount(&count), 0);
    EXPECT_EQ(count, 1);
    Opened o = OpenNext(fm);
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(o.path, m_s.InFile("real.tmp"));
    EXPECT_EQ(fm.CloseQueueFile(o.handle), 0);
}

// A queue file that someone else holds exclusively is passed over, whatever
// its place in the directory listing.
TEST_F(CFileManTest, HeldQueueFileIsSkipped) {
    const std::vector<std::string> names = {"a.tmp", "b.tmp", "c.tmp"};
    for (const std::string& n : names) Queue(n);
    for (const std::string& held : names) {
        SCOPED_TRACE("held: " + held);
        CFileMan fm;
        plat::CFile holder;
        ASSERT_EQ(holder.Open(m_s.InFile(held).c_str(), plat::kOpenReadExclusive), 0);
        std::set<std::string> opened, expected;
        std::vector<plat::FileHandle> handles;
        for (int i = 0; i < 2; ++i) {
            Opened o = OpenNext(fm);
            ASSERT_EQ(o.result, 0);
            opened.insert(o.path);
            handles.push_back(o.handle);
        }
        for (const std::string& n : names)
            if (n != held) expected.insert(m_s.InFile(n));
        EXPECT_EQ(opened, expected);
        EXPECT_NE(OpenNext(fm).result, 0) << "every file is now held";
        for (plat::FileHandle h : handles) EXPECT_EQ(fm.CloseQueueFile(h), 0);
    }
    for (const std::string& n : names) EXPECT_TRUE(plat::PathExists(m_s.InFile(n).c_str()));

    // The only queue file held: the search finds no file it can open (1); 32
    // comes back only when the file is taken between the search and the open.
    CFileMan fm;
    plat::CFile holder;
    for (const char* n : {"a.tmp", "c.tmp"}) plat::RemoveFile(m_s.InFile(n).c_str());
    ASSERT_EQ(holder.Open(m_s.InFile("b.tmp").c_str(), plat::kOpenReadExclusive), 0);
    int r = OpenNext(fm).result;
    EXPECT_TRUE(r == 1 || r == 32) << r;
    holder.Close();
    Opened o = OpenNext(fm);
    ASSERT_EQ(o.result, 0);
    EXPECT_EQ(fm.CloseAndDelete(o.handle), 0);
    EXPECT_FALSE(plat::PathExists(m_s.InFile("b.tmp").c_str()));
}

TEST_F(CFileManTest, CloseAndDeleteFindsEachOpenFileByItsHandle) {
    for (const char* n : {"a.tmp", "b.tmp", "c.tmp"}) Queue(n);
    CFileMan fm;
    Opened o[3] = {OpenNext(fm), OpenNext(fm), OpenNext(fm)};
    EXPECT_EQ(fm.CloseAndDelete(o[0].handle), 0);
    EXPECT_FALSE(plat::PathExists(o[0].path.c_str()));
    EXPECT_EQ(fm.CloseAndDelete(o[2].handle), 0);
    EXPECT_FALSE(plat::PathExists(o[2].path.c_str()));
    EXPECT_EQ(fm.CloseQueueFile(o[1].handle), 0);
    EXPECT_TRUE(plat::PathExists(o[1].path.c_str()));
    // Closed and forgotten: it can be opened (and deleted) again.
    Opened again = OpenNext(fm);
    ASSERT_EQ(again.path, o[1].path);
    EXPECT_EQ(fm.CloseAndDelete(again.handle), 0);
    EXPECT_EQ(List(m_s.In()), std::vector<std::string>{});
    EXPECT_EQ(fm.CloseAndDelete(plat::kInvalidFile), 1) << "a failed close deletes nothing";
}

TEST_F(CFileManTest, TmpIndexNamesTheRawFileAndWraps) {
    struct {
        bool set;
        uint32_t start;
        const char* name;
        uint32_t stored;
    } cases[] = {{false, 0, "0.qmx", 1}, {true, 41, "41.qmx", 42}, {true, 65534, "65534.qmx", 0},
                 {true, 70000, "0.qmx", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plat::CRegKey key;
        ASSERT_EQ(key.Open(qlsmtp::kSettingsKey, true), 0);
        if (c.set) {
            key.SetDword(qlsmtp::kValTmpIndex, c.start);
        } else {
            key.DeleteValue(qlsmtp::kValTmpIndex);
        }
        CFileMan fm;
        plat::FileHandle h;
        char path[300];
        ASSERT_EQ(fm.QUE_AddMsg(&h, path, sizeof(path)), 0);
        EXPECT_EQ(std::string(path), m_s.OutFile(c.name));
        EXPECT_EQ(m_s.GetDword(qlsmtp::kValTmpIndex), c.stored);
        // Received under a temporary name; the raw message file name only
        // once committed.
        EXPECT_FALSE(plat::PathExists(path));
        EXPECT_EQ(fm.WriteString(h, "Received: x\r\n"), 13);
        EXPECT_EQ(filestore::Write(h, "body\r\n", 6), 6);
        ASSERT_EQ(fm.CommitMsg(h, path), 0);
        EXPECT_EQ(ReadAll(path), "Received: x\r\nbody\r\n");
        EXPECT_EQ(List(m_s.Out()), std::vector<std::string>{c.name});
        plat::RemoveFile(path);
    }
}

// A number whose raw message file (or its data) still exists belongs to a
// message not yet handed off; the counter passes over it.
TEST_F(CFileManTest, ExistingRawFilesArePassedOver) {
    WriteAll(m_s.OutFile("5.qmx"), "waiting for hand-off");
    WriteAll(m_s.OutFile("6.qmx.part"), "being received");
    m_s.SetDword(qlsmtp::kValTmpIndex, 5);
    CFileMan fm;
    plat::FileHandle h;
    char path[300];
    ASSERT_EQ(fm.QUE_AddMsg(&h, path, sizeof(path)), 0);
    EXPECT_EQ(std::string(path), m_s.OutFile("7.qmx"));
    EXPECT_EQ(m_s.GetDword(qlsmtp::kValTmpIndex), 8u);
    fm.DiscardMsg(h, path);
    EXPECT_EQ(ReadAll(m_s.OutFile("5.qmx")), "waiting for hand-off");
    EXPECT_EQ(ReadAll(m_s.OutFile("6.qmx.part")), "being received");
    EXPECT_EQ(List(m_s.Out()), (std::vector<std::string>{"5.qmx", "6.qmx.part"}));
}

// Sessions on many threads never get the same raw message file.
TEST_F(CFileManTest, ConcurrentAddsGetDistinctFiles) {
    CFileMan fm;
    constexpr int kThreads = 20, kEach = 5;
    std::vector<std::vector<std::string>> paths(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&fm, &paths, t] {
            for (int i = 0; i < kEach; ++i) {
                plat::FileHandle h;
                char path[300];
                if (fm.QUE_AddMsg(&h, path, sizeof(path)) != 0) continue;
                std::string tag = std::to_string(t) + "/" + std::to_string(i);
                filestore::Write(h, tag.data(), static_cast<int>(tag.size()));
                if (fm.CommitMsg(h, path) == 0) paths[t].push_back(path);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::set<std::string> all;
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(paths[t].size(), static_cast<size_t>(kEach));
        for (int i = 0; i < kEach; ++i) {
            EXPECT_TRUE(all.insert(paths[t][i]).second) << paths[t][i];
            EXPECT_EQ(ReadAll(paths[t][i]), std::to_string(t) + "/" + std::to_string(i));
        }
    }
    EXPECT_EQ(m_s.GetDword(qlsmtp::kValTmpIndex), static_cast<uint32_t>(kThreads * kEach));
}

TEST_F(CFileManTest, ReadFileLine) {
    struct {
        std::string data;
        int size;
        std::vector<std::string> lines;  // then 0
    } cases[] = {
        {"ab\ncd\r\nef", 100, {"ab\n", "cd\r\n"}},  // a last line without LF is dropped
        {"abcdef\n", 4, {"abcd", "ef\n"}},
        {"abc\n", 4, {"abc\n"}},
        {"", 10, {}},
        {"\n\r\n", 10, {"\n", "\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        WriteAll(m_s.InFile("lines.txt"), c.data);
        plat::CFile f;
        ASSERT_EQ(f.Open(m_s.InFile("lines.txt").c_str(), plat::kOpenRead), 0);
        char buf[100];
        for (const std::string& expected : c.lines) {
            int n = filestore::ReadFileLine(f.Get(), buf, c.size);
            ASSERT_EQ(std::string(buf, static_cast<size_t>(std::max(n, 0))), expected);
        }
        EXPECT_EQ(filestore::ReadFileLine(f.Get(), buf, c.size), 0);
    }
}

// The buffered reader gives the same pieces as ReadFileLine, also for lines
// that run over the end of its 64 KB block.
TEST_F(CFileManTest, PieceReaderMatchesReadFileLine) {
    std::string big;
    for (int i = 0; big.size() < 20000; ++i) big += std::string(static_cast<size_t>(i * 37 % 450), 'x') + "\r\n";
    std::string straddle = std::string(65530, 'a') + "\n" + std::string(300, 'b') + "\nend";
    struct {
        std::string data;
        int size;
    } cases[] = {
        {"ab\ncd\r\nef", 100}, {"abcdef\n", 4}, {"abc\n", 4}, {"", 10}, {"\n\r\n", 10},
        {big, 200}, {straddle, 200}, {straddle + "\n", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data.size());
        WriteAll(m_s.InFile("lines.txt"), c.data);
        plat::CFile byByte;
        plat::CFile buffered;
        ASSERT_EQ(byByte.Open(m_s.InFile("lines.txt").c_str(), plat::kOpenRead), 0);
        ASSERT_EQ(buffered.Open(m_s.InFile("lines.txt").c_str(), plat::kOpenRead), 0);
        filestore::PieceReader reader(buffered.Get());
        char expected[200];
        char got[200];
        int pieces = 0;
        for (;;) {
            int n = filestore::ReadFileLine(byByte.Get(), expected, c.size);
            ASSERT_EQ(reader.Next(got, c.size), n) << "piece " << pieces;
            if (n == 0) break;
            ASSERT_EQ(std::string(got, static_cast<size_t>(n)), std::string(expected, static_cast<size_t>(n)));
            ++pieces;
        }
        EXPECT_EQ(reader.Next(got, c.size), 0);
    }
}

// At start-up: data of unacknowledged messages go; raw message files are
// listed oldest first, whatever their numbers.
TEST_F(CFileManTest, RecoverReceived) {
    WriteAll(m_s.OutFile("3.qmx.part"), "unacknowledged");
    for (const char* n : {"10.qmx", "9.qmx", "100.qmx"}) {
        WriteAll(m_s.OutFile(n), n);
        plat::SleepMs(30);
    }
    WriteAll(m_s.OutFile("ENV1.tmp"), "for the fax server");
    CFileMan fm;
    std::vector<std::string> raw;
    fm.RecoverReceived(&raw);
    EXPECT_EQ(raw, (std::vector<std::string>{m_s.OutFile("10.qmx"), m_s.OutFile("9.qmx"), m_s.OutFile("100.qmx")}));
    EXPECT_EQ(List(m_s.Out()), (std::vector<std::string>{"10.qmx", "100.qmx", "9.qmx", "ENV1.tmp"}));
}

// Run by the integration test with a queue file that another process holds
// with flock; skipped otherwise.
TEST(CFileManPeer, QueueFileHeldByAnotherProcess) {
    std::string data, held;
    if (!plat::GetEnv("QLSMTP_PEER_DATA", &data) || !plat::GetEnv("QLSMTP_PEER_HELD", &held))
        GTEST_SKIP() << "run by tests/integration/test_smtp_receive.py";
    TestSettings s;
    s.SetString(qlsmtp::kValProgramPath, data.c_str());
    CFileMan fm;
    int count = 0;
    fm.GetQueueCount(&count);
    std::vector<plat::FileHandle> handles;
    std::vector<std::string> opened;
    for (;;) {
        plat::FileHandle h;
        char path[300];
        if (fm.Que_OpenMsg(&h, path, sizeof(path)) != 0) break;
        handles.push_back(h);
        opened.push_back(path);
        std::printf("opened %s\n", path);
    }
    EXPECT_EQ(static_cast<int>(opened.size()), count - 1);
    for (const std::string& p : opened) EXPECT_EQ(p.find(held), std::string::npos) << p;
    for (plat::FileHandle h : handles) fm.CloseQueueFile(h);
}
