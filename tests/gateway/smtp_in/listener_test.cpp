// The listener framework: connection limit, stop request, bind failure, the
// base connection dialogue and the line reads of CClientThread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/core/diag.h"
#include "gateway/smtp_in/smtp_test_util.h"

using namespace rxtest;

namespace {

const std::string kConnected = "Connect Successful ... Now Disconnecting.";
const std::string kTooMany = "Too Many Connections, Please Try Later.";

// A listener that serves the base class's own dialogue.
class BaseListener : public CWinSock {
public:
    explicit BaseListener(int limit = 20, int bindRetryMs = 10000) {
        m_ConnectionLimit = limit;
        m_BindRetryMs = bindRetryMs;
    }
    ~BaseListener() override { Shutdown(); }
    std::unique_ptr<CClientThread> CreateThreadInstance() override { return std::make_unique<CClientThread>(); }
    void ReleaseThreadInstance(std::unique_ptr<CClientThread> instance) override { instance.reset(); }
};

// One read operation on a connection and what it gave.
struct Call {
    char kind;  // 'l' ReadLine, 'r' ReadRawLine, 'v' Receive, 'p' IsDataPending, 'd' DrainInput
    int max;
};
using Result = std::pair<int, std::string>;

Result Perform(CClientThread& t, const Call& c) {
    char buf[512];
    std::memset(buf, '#', sizeof(buf));
    switch (c.kind) {
        case 'l':
        case 'r': {
            int n = c.kind == 'l' ? t.ReadLine(buf, c.max) : t.ReadRawLine(buf, c.max);
            return {n, std::string(buf, std::strlen(buf))};  // terminated right after the line
        }
        case 'v': {
            int n = t.Receive(buf, c.max);
            return {n, std::string(buf, n > 0 ? static_cast<size_t>(n) : 0)};
        }
        case 'p': return {t.IsDataPending() ? 1 : 0, ""};
        default: t.DrainInput(); return {0, ""};
    }
}

TEST(ClientThread, LineReadsOverALoopbackSocket) {
    const std::string x100(100, 'x');
    struct {
        const char* name;
        std::string input;  // sent at once; then the client closes its side
        std::vector<Call> calls;
        std::vector<Result> expected;
    } cases[] = {
        // 100 characters then CR LF: 100, then the CR LF as an empty line.
        {"HundredThenCrLf", x100 + "\r\nok\r\n", {{'l', 100}, {'l', 100}, {'l', 100}}, {{100, x100}, {0, ""}, {2, "ok"}}},
        {"RawHundredThenCrLf", x100 + "\r\n", {{'r', 100}, {'r', 100}}, {{100, x100}, {2, "\r\n"}}},
        {"LineEnds", "abc\r\ndef\n\na\rb\r\n", {{'l', 100}, {'l', 100}, {'l', 100}, {'l', 100}},
         {{3, "abc"}, {3, "def"}, {0, ""}, {3, "a\rb"}}},
        {"RawLineEnds", "abc\r\ndef\n\n", {{'r', 100}, {'r', 100}, {'r', 100}}, {{5, "abc\r\n"}, {4, "def\n"}, {1, "\n"}}},
        {"LongLineInPieces", "abcdefghij\n", {{'l', 4}, {'l', 4}, {'l', 4}}, {{4, "abcd"}, {4, "efgh"}, {2, "ij"}}},
        {"CrAtPieceEndStays", "abc\r\n", {{'l', 4}, {'l', 4}}, {{4, "abc\r"}, {0, ""}}},
        {"EndOfStreamMidLine", "abc", {{'l', 100}}, {{0, ""}}},
        {"RawEndOfStreamMidLine", "abc", {{'r', 100}}, {{0, ""}}},
        // Bytes after a line stay for the next read, and count as pending.
        {"ReadAheadStaysPending", "ab\r\ncdef", {{'l', 100}, {'p', 0}, {'v', 10}, {'p', 0}},
         {{2, "ab"}, {1, ""}, {4, "cdef"}, {0, ""}}},
        {"DrainDiscardsPending", "ab\r\ncd\r\nef\r\n", {{'l', 100}, {'d', 0}, {'p', 0}, {'l', 100}},
         {{2, "ab"}, {0, ""}, {0, ""}, {0, ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::SocketPair pair;
        CClientThread t;
        t.m_Socket = pair.server.Get();
        ASSERT_EQ(t.SetReceiveTimeout(5000), 0);
        ASSERT_TRUE(testutil::SendAll(pair.client.Get(), c.input));
        plat::ShutdownSend(pair.client.Get());
        // Once the whole input has arrived, "pending" has one meaning.
        ASSERT_TRUE(WaitFor([&] {
            char peek[512];
            return plat::Recv(pair.server.Get(), peek, sizeof(peek), plat::kMsgPeek) == static_cast<int>(c.input.size());
        }));
        std::vector<Result> results;
        for (const Call& call : c.calls) results.push_back(Perform(t, call));
        EXPECT_EQ(results, c.expected);
    }
}

TEST(BaseDialogue, LineIsAnsweredEmptyLineIsNotAndPendingInputIsDiscarded) {
    BaseListener listener;
    ASSERT_EQ(listener.ConnectToPort(0), 0);
    ASSERT_EQ(listener.StartAcceptThread(), 0);
    for (const auto& [input, reply] : {std::pair<std::string, std::string>{"hello\r\nmore input\r\n", kConnected},
                                       {"\r\n", ""}}) {
        Client c(listener.BoundPort());
        ASSERT_TRUE(c.Send(input));
        bool closed = false;
        EXPECT_EQ(c.ReadToEnd(&closed), reply);
        EXPECT_TRUE(closed);
    }
}

TEST(BaseDialogue, OverTheLimitASendingClientIsToldToTryLater) {
    BaseListener listener(1);
    ASSERT_EQ(listener.ConnectToPort(0), 0);
    ASSERT_EQ(listener.StartAcceptThread(), 0);
    Client first(listener.BoundPort());
    ASSERT_TRUE(WaitFor([&] { return listener.ConnectionCount() == 1; }));
    {
        Client second(listener.BoundPort());
        ASSERT_TRUE(second.Send("x"));
        bool closed = false;
        EXPECT_EQ(second.ReadToEnd(&closed), kTooMany);
        EXPECT_TRUE(closed);
    }
    ASSERT_TRUE(first.Send("hi\r\n"));
    bool closed = false;
    EXPECT_EQ(first.ReadToEnd(&closed), kConnected);
}

// ---------------------------------------------------------------------------
// The SMTP listener

class SmtpListenerTest : public ReceptionTest {};

}  // namespace

TEST_F(SmtpListenerTest, TwentyConnectionsAtOnce) {
    std::vector<std::unique_ptr<Client>> open;
    for (int i = 0; i < 20; ++i) open.push_back(Connect());
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
        c = Connect();
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

// A listener that cannot have a thread, as when the system has none to spare.
class ThreadlessListener : public BaseListener {
protected:
    std::thread NewAcceptThread() override {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
};

TEST(Listener, AcceptThreadThatCannotBeMadeIsReported) {
    testutil::TempDir dir;
    std::string log = dir / "debug.log";
    SetDebugLogForTest(true, log.c_str());
    ThreadlessListener listener;
    ASSERT_EQ(listener.ConnectToPort(0), 0);
    EXPECT_EQ(listener.StartAcceptThread(), 1);
    SetDebugLogForTest(false, "");
    EXPECT_FALSE(listener.IsAccepting());
    EXPECT_NE(ReadAll(log).find("Unable to create Thread for accepting for the connections."), std::string::npos);
}

// A port in use is bound by the accept thread once it is free; a stop ends
// the wait for it at once.
TEST_F(SmtpListenerTest, PortInUseIsBoundOnceFree) {
    {
        BaseListener waiting;
        EXPECT_EQ(waiting.ConnectToPort(m_port), 3);
        EXPECT_NE(waiting.BindError(), 0);
        ASSERT_EQ(waiting.StartAcceptThread(), 0);
    }
    BaseListener second(20, 100);
    EXPECT_EQ(second.ConnectToPort(m_port), 3);
    ASSERT_EQ(second.StartAcceptThread(), 0);
    EXPECT_FALSE(second.IsListening());
    m_listener.reset();
    ASSERT_TRUE(WaitFor([&] { return second.IsListening(); }, 20000));
    Client c(m_port);
    ASSERT_TRUE(c.Send("hi\r\n"));
    bool closed = false;
    EXPECT_EQ(c.ReadToEnd(&closed), kConnected);
}

// A listener that goes while a client is still connected ends the
// connection cleanly (its threads still use the listener's factory).
TEST_F(SmtpListenerTest, DestroyedWithOpenConnection) {
    auto c = Connect();
    ASSERT_TRUE(c->Send("HELO a\r\n"));
    ASSERT_EQ(c->Read(23), "250 fax.example.com a\r\n");
    m_listener.reset();
    bool closed = false;
    EXPECT_EQ(c->ReadToEnd(&closed), "");
    EXPECT_TRUE(closed);
}

// The one slow test: a silent client is dropped after the 30-second receive
// time-out.
TEST_F(SmtpListenerTest, IdleClientDisconnectedAfter30Seconds) {
    auto c = Connect(2 * kPatienceMs);
    auto start = std::chrono::steady_clock::now();
    bool closed = false;
    EXPECT_EQ(c->ReadToEnd(&closed), "");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(closed);
    EXPECT_GE(seconds, 29.0);
    EXPECT_LE(seconds, 30.0 + kPatienceMs / 1000);
}
