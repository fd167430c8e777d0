// The listener framework: connection limit, stop request, bind failure, the
// base connection dialogue and the line reads of CClientThread.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "gateway/service/diag.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/smtp_in/smtp_test_util.h"
#include "gateway/smtp_out/cfileman.h"

using namespace rxtest;

namespace {

const std::string kConnected = "Connect Successful ... Now Disconnecting.";
const std::string kTooMany = "Too Many Connections, Please Try Later.";

// A listener that serves the base class's own dialogue.
class BaseListener : public CWinSock {
public:
    explicit BaseListener(int limit = 20) { m_ConnectionLimit = limit; }
    ~BaseListener() override { Shutdown(); }
    std::unique_ptr<CClientThread> CreateThreadInstance() override { return std::make_unique<CClientThread>(); }
    void ReleaseThreadInstance(std::unique_ptr<CClientThread> instance) override { instance.reset(); }
};

// One read operation of a probe connection.
struct Call {
    char kind;  // 'l' ReadLine, 'r' ReadRawLine, 'v' Receive, 'p' IsDataPending, 'd' DrainInput
    int max;
};
using Result = std::pair<int, std::string>;

class ProbeListener;

// Runs a list of reads on its connection and reports their results.
class ProbeThread : public CClientThread {
public:
    explicit ProbeThread(ProbeListener* owner) : m_owner(owner) {}
    void OnConnect() override;

private:
    ProbeListener* m_owner;
};

class ProbeListener : public CWinSock {
public:
    ~ProbeListener() override { Shutdown(); }
    std::unique_ptr<CClientThread> CreateThreadInstance() override { return std::make_unique<ProbeThread>(this); }
    void ReleaseThreadInstance(std::unique_ptr<CClientThread> instance) override { instance.reset(); }

    std::vector<Call> m_calls;

    void Report(std::vector<Result> results) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_results = std::move(results);
        m_done = true;
        m_cv.notify_all();
    }
    bool Wait(std::vector<Result>* results) {
        std::unique_lock<std::mutex> g(m_mutex);
        if (!m_cv.wait_for(g, std::chrono::seconds(10), [this] { return m_done; })) return false;
        *results = m_results;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::vector<Result> m_results;
};

void ProbeThread::OnConnect() {
    // Let the whole input arrive first, so that "pending" has one meaning.
    plat::SleepMs(100);
    std::vector<Result> results;
    for (const Call& c : m_owner->m_calls) {
        char buf[512];
        std::memset(buf, '#', sizeof(buf));
        switch (c.kind) {
            case 'l':
            case 'r': {
                int n = c.kind == 'l' ? ReadLine(buf, c.max) : ReadRawLine(buf, c.max);
                // The buffer must be terminated right after the line.
                results.emplace_back(n, std::string(buf, std::strlen(buf)));
                break;
            }
            case 'v': {
                int n = Receive(buf, c.max);
                results.emplace_back(n, std::string(buf, n > 0 ? static_cast<size_t>(n) : 0));
                break;
            }
            case 'p': results.emplace_back(IsDataPending() ? 1 : 0, ""); break;
            case 'd':
                DrainInput();
                results.emplace_back(0, "");
                break;
        }
    }
    m_owner->Report(std::move(results));
}

struct LineCase {
    const char* name;
    std::string input;  // sent at once; then the client closes its side
    std::vector<Call> calls;
    std::vector<Result> expected;
};
void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class LineReadTest : public ::testing::TestWithParam<LineCase> {};

}  // namespace

TEST_P(LineReadTest, Pieces) {
    const LineCase& lc = GetParam();
    ProbeListener listener;
    listener.m_calls = lc.calls;
    ASSERT_EQ(listener.ConnectToPort(0), 0);
    ASSERT_EQ(listener.StartAcceptThread(), 0);
    Client c(listener.BoundPort());
    ASSERT_TRUE(c.Connected());
    ASSERT_TRUE(c.Send(lc.input));
    c.ShutdownSend();
    std::vector<Result> results;
    ASSERT_TRUE(listener.Wait(&results));
    EXPECT_EQ(results, lc.expected);
}

static const std::string kX100(100, 'x');

INSTANTIATE_TEST_SUITE_P(
    Listener, LineReadTest,
    ::testing::Values(
        // 100 characters then CR LF: 100, then the CR LF as an empty line.
        LineCase{"HundredThenCrLf", kX100 + "\r\nok\r\n", {{'l', 100}, {'l', 100}, {'l', 100}},
                 {{100, kX100}, {0, ""}, {2, "ok"}}},
        LineCase{"RawHundredThenCrLf", kX100 + "\r\n", {{'r', 100}, {'r', 100}}, {{100, kX100}, {2, "\r\n"}}},
        LineCase{"LineEnds", "abc\r\ndef\n\na\rb\r\n", {{'l', 100}, {'l', 100}, {'l', 100}, {'l', 100}},
                 {{3, "abc"}, {3, "def"}, {0, ""}, {3, "a\rb"}}},
        LineCase{"RawLineEnds", "abc\r\ndef\n\n", {{'r', 100}, {'r', 100}, {'r', 100}},
                 {{5, "abc\r\n"}, {4, "def\n"}, {1, "\n"}}},
        LineCase{"LongLineInPieces", "abcdefghij\n", {{'l', 4}, {'l', 4}, {'l', 4}},
                 {{4, "abcd"}, {4, "efgh"}, {2, "ij"}}},
        LineCase{"CrAtPieceEndStays", "abc\r\n", {{'l', 4}, {'l', 4}}, {{4, "abc\r"}, {0, ""}}},
        LineCase{"EndOfStreamMidLine", "abc", {{'l', 100}}, {{0, ""}}},
        LineCase{"RawEndOfStreamMidLine", "abc", {{'r', 100}}, {{0, ""}}},
        // Bytes after a line stay for the next read, and count as pending.
        LineCase{"ReadAheadStaysPending", "ab\r\ncdef", {{'l', 100}, {'p', 0}, {'v', 10}, {'p', 0}},
                 {{2, "ab"}, {1, ""}, {4, "cdef"}, {0, ""}}},
        LineCase{"DrainDiscardsPending", "ab\r\ncd\r\nef\r\n", {{'l', 100}, {'d', 0}, {'p', 0}, {'l', 100}},
                 {{2, "ab"}, {0, ""}, {0, ""}, {0, ""}}}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The base dialogue of CClientThread

TEST(BaseDialogue, LineIsAnsweredAndPendingInputDiscarded) {
    BaseListener listener;
    ASSERT_EQ(listener.ConnectToPort(0), 0);
    ASSERT_EQ(listener.StartAcceptThread(), 0);
    Client c(listener.BoundPort());
    ASSERT_TRUE(c.Send("hello\r\nmore input that is discarded\r\n"));
    bool closed = false;
    EXPECT_EQ(c.ReadToEnd(&closed), kConnected);
    EXPECT_TRUE(closed);
}

TEST(BaseDialogue, EmptyLineGetsNothing) {
    BaseListener listener;
    ASSERT_EQ(listener.ConnectToPort(0), 0);
    ASSERT_EQ(listener.StartAcceptThread(), 0);
    Client c(listener.BoundPort());
    ASSERT_TRUE(c.Send("\r\n"));
    bool closed = false;
    EXPECT_EQ(c.ReadToEnd(&closed), "");
    EXPECT_TRUE(closed);
}

TEST(BaseDialogue, OverTheLimit) {
    BaseListener listener(1);
    ASSERT_EQ(listener.ConnectToPort(0), 0);
    ASSERT_EQ(listener.StartAcceptThread(), 0);
    Client first(listener.BoundPort());
    ASSERT_TRUE(WaitFor([&] { return listener.ConnectionCount() == 1; }));
    {
        // Over the limit and sending: told to try later.
        Client second(listener.BoundPort());
        ASSERT_TRUE(second.Send("x"));
        bool closed = false;
        EXPECT_EQ(second.ReadToEnd(&closed), kTooMany);
        EXPECT_TRUE(closed);
    }
    {
        // Over the limit and silent: closed without a byte.
        Client third(listener.BoundPort());
        third.ShutdownSend();
        bool closed = false;
        EXPECT_EQ(third.ReadToEnd(&closed), "");
        EXPECT_TRUE(closed);
    }
    ASSERT_TRUE(first.Send("hi\r\n"));
    bool closed = false;
    EXPECT_EQ(first.ReadToEnd(&closed), kConnected);
}

// ---------------------------------------------------------------------------
// The SMTP listener

class SmtpListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_settings = std::make_unique<TestSettings>();
        m_fileMan = std::make_unique<CFileMan>();
        m_listener = std::make_unique<SMTPInListener>();
        m_listener->m_FileMan = m_fileMan.get();
        ASSERT_EQ(m_listener->ConnectToPort(0), 0);
        ASSERT_EQ(m_listener->StartAcceptThread(), 0);
        m_port = m_listener->BoundPort();
    }
    void TearDown() override {
        if (m_listener) m_listener->Shutdown();
        m_listener.reset();
        m_fileMan.reset();
        m_settings.reset();
    }

    std::unique_ptr<TestSettings> m_settings;
    std::unique_ptr<CFileMan> m_fileMan;
    std::unique_ptr<SMTPInListener> m_listener;
    int m_port = 0;
};

TEST_F(SmtpListenerTest, TwentyConnectionsAtOnce) {
    std::vector<std::unique_ptr<Client>> open;
    for (int i = 0; i < 20; ++i) {
        open.push_back(std::make_unique<Client>(m_port));
        ASSERT_EQ(open.back()->Read(Greeting().size()), Greeting()) << "client " << i;
    }
    {
        // The 21st is accepted, gets no greeting and is closed at once.
        Client extra(m_port);
        ASSERT_TRUE(extra.Connected());
        bool closed = false;
        EXPECT_EQ(extra.ReadToEnd(&closed), "");
        EXPECT_TRUE(closed);
    }
    // A client that has said goodbye and connects again at once is served,
    // though its old session may not have left the list yet.
    for (int round = 0; round < 20; ++round) {
        auto& c = open[static_cast<size_t>(round)];
        ASSERT_TRUE(c->Send("QUIT\r\n"));
        ASSERT_EQ(c->Read(13), "221 Goodbye\r\n");
        c = std::make_unique<Client>(m_port);
        ASSERT_EQ(c->Read(Greeting().size()), Greeting()) << "round " << round;
    }
    // The others were served throughout.
    ASSERT_TRUE(open[5]->Send("NOOP\r\n"));
    EXPECT_EQ(open[5]->Read(41), "250 Requested mail action ok, completed\r\n");
}

TEST_F(SmtpListenerTest, StopRequestClosesTheNextConnection) {
    m_listener->SetStopFlag();
    Client c(m_port);
    bool closed = false;
    EXPECT_EQ(c.ReadToEnd(&closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(WaitFor([this] { return !m_listener->IsAccepting(); }));
}

TEST_F(SmtpListenerTest, BindingAPortInUseFails) {
    std::string log = m_settings->Data() + "debug.log";
    SetDebugLogForTest(true, log.c_str());
    SMTPInListener second;
    int r = second.ConnectToPort(m_port);
    SetDebugLogForTest(false, "");
    EXPECT_EQ(r, 3);
    std::string text = ReadAll(log);
    EXPECT_NE(text.find("ConnectToPort : unable to bind to the required address.\r\n"), std::string::npos) << text;
}

// A listener that goes while a client is still connected ends the
// connection cleanly (its threads still use the listener's factory).
TEST_F(SmtpListenerTest, DestroyedWithOpenConnection) {
    Client c(m_port);
    ASSERT_EQ(c.Read(Greeting().size()), Greeting());
    ASSERT_TRUE(c.Send("HELO a\r\n"));
    ASSERT_EQ(c.Read(std::string("250 fax.example.com a\r\n").size()), "250 fax.example.com a\r\n");
    m_listener.reset();
    bool closed = false;
    EXPECT_EQ(c.ReadToEnd(&closed), "");
    EXPECT_TRUE(closed);
}

// The one slow test: a silent client is dropped after the 30-second receive
// time-out.
TEST_F(SmtpListenerTest, IdleClientDisconnectedAfter30Seconds) {
    Client c(m_port, 60000);
    ASSERT_EQ(c.Read(Greeting().size()), Greeting());
    auto start = std::chrono::steady_clock::now();
    bool closed = false;
    EXPECT_EQ(c.ReadToEnd(&closed), "");
    auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count() /
        1000.0;
    EXPECT_TRUE(closed);
    EXPECT_GE(seconds, 29.0);
    EXPECT_LE(seconds, 45.0);
}
