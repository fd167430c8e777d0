// The file manager: queue files in IN, raw message files in OUT, the
// TmpIndex counter and the recovery of received messages after a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/settings_names.h"
#include "gateway/smtp_in/smtp_test_util.h"
#include "gateway/smtp_out/cfileman.h"

using namespace rxtest;

namespace {

class CFileManTest : public ::testing::Test {
protected:
    TestSettings m_s;

    void Queue(const std::string& name, const std::string& data = "TO: fax@example.com\r\n") {
        WriteAll(m_s.InFile(name), data);
    }
};

}  // namespace

TEST_F(CFileManTest, SettingsReadAtStart) {
    m_s.SetDword(qlsmtp::kValFileNameUse, 1);
    {
        CFileMan fm;
        EXPECT_EQ(m_s.GetDword(qlsmtp::kValFileNameUse), 0u);  // cleared at every start
        EXPECT_EQ(fm.MaxOut(), 10u);
        EXPECT_EQ(fm.MaxIn(), 10u);
        EXPECT_EQ(std::string(fm.GetProgramPath()), m_s.Data());
    }
    m_s.SetDword(qlsmtp::kValMaxOut, 7);
    {
        CFileMan fm;
        EXPECT_EQ(fm.MaxOut(), 7u);
        EXPECT_EQ(fm.MaxIn(), 7u);  // MaxIn follows MaxOut when absent
    }
}

TEST_F(CFileManTest, GetDomainNameNeedsRoomForTheTerminator) {
    CFileMan fm;
    char buf[32] = "unchanged";
    EXPECT_EQ(fm.GetDomainName(buf, 15), 1);  // "fax.example.com" is 15 characters
    EXPECT_STREQ(buf, "unchanged");
    EXPECT_EQ(fm.GetDomainName(buf, 16), 0);
    EXPECT_STREQ(buf, kDomain);
}

TEST_F(CFileManTest, NamesBeginningWithDotDoNotCount) {
    Queue(".hidden.tmp");
    Queue("..tmp");
    Queue("notes.txt");
    plat::MakeDirectory(m_s.InFile("folder.tmp").c_str());
    CFileMan fm;
    int count = -1;
    EXPECT_EQ(fm.GetQueueCount(&count), 0);
    EXPECT_EQ(count, 0);
    plat::FileHandle h;
    char path[300];
    EXPECT_EQ(fm.Que_OpenMsg(&h, path, sizeof(path)), 1);
    EXPECT_EQ(h, plat::kInvalidFile);

    Queue("real.tmp");
    EXPECT_EQ(fm.GetQueueCount(&count), 0);
    EXPECT_EQ(count, 1);
    ASSERT_EQ(fm.Que_OpenMsg(&h, path, sizeof(path)), 0);
    EXPECT_EQ(std::string(path), m_s.InFile("real.tmp"));
    EXPECT_EQ(fm.CloseQueueFile(h), 0);
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
        std::set<std::string> opened;
        std::vector<plat::FileHandle> handles;
        for (int i = 0; i < 2; ++i) {
            plat::FileHandle h;
            char path[300];
            ASSERT_EQ(fm.Que_OpenMsg(&h, path, sizeof(path)), 0);
            opened.insert(path);
            handles.push_back(h);
        }
        std::set<std::string> expected;
        for (const std::string& n : names)
            if (n != held) expected.insert(m_s.InFile(n));
        EXPECT_EQ(opened, expected);
        // Every file is now held: the queue gives nothing.
        plat::FileHandle h;
        char path[300];
        EXPECT_NE(fm.Que_OpenMsg(&h, path, sizeof(path)), 0);
        EXPECT_EQ(h, plat::kInvalidFile);
        for (plat::FileHandle x : handles) EXPECT_EQ(fm.CloseQueueFile(x), 0);
    }
    for (const std::string& n : names) EXPECT_TRUE(plat::PathExists(m_s.InFile(n).c_str()));
}

TEST_F(CFileManTest, OnlyQueueFileHeld) {
    Queue("only.tmp", "data");
    CFileMan fm;
    plat::CFile holder;
    ASSERT_EQ(holder.Open(m_s.InFile("only.tmp").c_str(), plat::kOpenReadExclusive), 0);
    plat::FileHandle h;
    char path[300];
    // The search finds no file it can open (1); 32 comes back only when the
    // file is taken between the search and the open.
    int r = fm.Que_OpenMsg(&h, path, sizeof(path));
    EXPECT_TRUE(r == 1 || r == 32) << r;
    EXPECT_EQ(h, plat::kInvalidFile);
    holder.Close();
    ASSERT_EQ(fm.Que_OpenMsg(&h, path, sizeof(path)), 0);
    EXPECT_EQ(fm.CloseAndDelete(h), 0);
    EXPECT_FALSE(plat::PathExists(m_s.InFile("only.tmp").c_str()));
}

TEST_F(CFileManTest, CloseAndDeleteFirstOfSeveral) {
    for (const char* n : {"a.tmp", "b.tmp", "c.tmp"}) Queue(n);
    CFileMan fm;
    plat::FileHandle h[3];
    std::string p[3];
    for (int i = 0; i < 3; ++i) {
        char path[300];
        ASSERT_EQ(fm.Que_OpenMsg(&h[i], path, sizeof(path)), 0);
        p[i] = path;
    }
    EXPECT_EQ(fm.CloseAndDelete(h[0]), 0);
    EXPECT_FALSE(plat::PathExists(p[0].c_str()));
    // The later entries are still found by their handles.
    EXPECT_EQ(fm.CloseAndDelete(h[2]), 0);
    EXPECT_FALSE(plat::PathExists(p[2].c_str()));
    EXPECT_EQ(fm.CloseQueueFile(h[1]), 0);
    EXPECT_TRUE(plat::PathExists(p[1].c_str()));
    // Closed and forgotten: it can be opened (and deleted) again.
    plat::FileHandle again;
    char path[300];
    ASSERT_EQ(fm.Que_OpenMsg(&again, path, sizeof(path)), 0);
    EXPECT_EQ(std::string(path), p[1]);
    EXPECT_EQ(fm.CloseAndDelete(again), 0);
    int count = -1;
    fm.GetQueueCount(&count);
    EXPECT_EQ(count, 0);
    // A failed close deletes nothing.
    EXPECT_EQ(fm.CloseAndDelete(plat::kInvalidFile), 1);
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
        EXPECT_EQ(Write(h, "body\r\n", 6), 6);
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

TEST_F(CFileManTest, RawFileCannotBeCreated) {
    rxtest::RemoveTree(m_s.Out());
    CFileMan fm;
    plat::FileHandle h;
    char path[300];
    EXPECT_EQ(fm.QUE_AddMsg(&h, path, sizeof(path)), 2);
    EXPECT_EQ(h, plat::kInvalidFile);
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
                Write(h, tag.data(), static_cast<int>(tag.size()));
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
        const char* name;
        std::string data;
        int size;
        std::vector<std::string> lines;  // then 0
    } cases[] = {
        {"LastLineWithoutLfDropped", "ab\ncd\r\nef", 100, {"ab\n", "cd\r\n"}},
        {"FullBufferThenRest", "abcdef\n", 4, {"abcd", "ef\n"}},
        {"ExactlyFull", "abc\n", 4, {"abc\n"}},
        {"Empty", "", 10, {}},
        {"EmptyLines", "\n\r\n", 10, {"\n", "\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = m_s.InFile("lines.txt");
        WriteAll(file, c.data);
        plat::CFile f;
        ASSERT_EQ(f.Open(file.c_str(), plat::kOpenRead), 0);
        for (const std::string& expected : c.lines) {
            char buf[100];
            int n = ReadFileLine(f.Get(), buf, c.size);
            ASSERT_EQ(n, static_cast<int>(expected.size()));
            EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), expected);
        }
        char buf[100];
        EXPECT_EQ(ReadFileLine(f.Get(), buf, c.size), 0);
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
