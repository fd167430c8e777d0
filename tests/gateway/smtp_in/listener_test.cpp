// The listener and its connections over 127.0.0.1: the connection limit,
// stop, bind retry and time-out, and the messages a connection stores and
// hands off.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "gateway/smtp_in/smtp_test_util.h"

using namespace rxtest;

namespace {

const std::string kConnected = "Connect Successful ... Now Disconnecting.";
const std::string kGreeting = std::string("220 ") + kDomain + " Service Ready\r\n";
const std::string kUpToData = "HELO c\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<f@example.com>\r\nDATA\r\n";
const std::string kUpToDataReplies = std::string("250 ") + kDomain +
                                     " c\r\n250 OK  FROM:<s@example.org> \r\n250 OK  TO:<f@example.com> \r\n"
                                     "354 Start mail input, end with <CRLF>.<CRLF>\r\n";
const std::string kTrace = std::string("Received: from c by ") + kDomain + " ; \r\n";

// A listener that serves the base class's own dialogue.
class BaseListener : public CWinSock {
public:
    explicit BaseListener(int limit = 20, int bindRetryMs = 10000) {
        m_ConnectionLimit = limit;
        m_BindRetryMs = bindRetryMs;
    }
    ~BaseListener() override { Shutdown(); }
    std::unique_ptr<CClientThread> CreateThreadInstance() override { return std::make_unique<CClientThread>(); }
    void ReleaseThreadInstance(std::unique_ptr<CClientThread>) override {}
};

// The test hand-off: records each raw message file's contents and the lock.
struct HandOffs {
    static inline std::mutex s_Lock;
    static inline std::vector<std::string> s_Contents;
    static inline const std::mutex* s_HandOffLock = nullptr;
    static inline int s_Result = 0;
    static int Fn(std::mutex& handOffLock, const char* rawPath) {
        std::lock_guard<std::mutex> hold(handOffLock);
        std::lock_guard<std::mutex> g(s_Lock);
        s_Contents.push_back(ReadAll(rawPath));
        s_HandOffLock = &handOffLock;
        return s_Result;
    }
};

// An SMTP listener on a free port with its own data directory.
class SmtpListenerTest : public ::testing::Test {
protected:
    void SetUp() override { Start(true); }
    void TearDown() override {
        if (m_listener) m_listener->Shutdown();
    }
    void Start(bool withOut) {
        m_listener.reset();
        m_settings.reset();  // its settings key goes with it
        m_settings = std::make_unique<TestSettings>(withOut);
        m_fileMan = std::make_unique<CFileMan>();
        m_listener = std::make_unique<SMTPInListener>();
        m_listener->m_FileMan = m_fileMan.get();
        m_listener->m_HandOff = &HandOffs::Fn;
        HandOffs::s_Contents.clear();
        HandOffs::s_Result = 0;
        ASSERT_EQ(m_listener->ConnectToPort(0), 0);
        ASSERT_EQ(m_listener->StartAcceptThread(), 0);
        m_port = m_listener->BoundPort();
    }
    std::unique_ptr<Client> Connect(uint32_t timeoutMs = kPatienceMs) {
        auto c = std::make_unique<Client>(m_port, timeoutMs);
        EXPECT_EQ(c->Read(kGreeting.size()), kGreeting);
        return c;
    }
    // Sends a whole dialogue and returns the replies after the greeting.
    std::string Dialogue(const std::string& input) {
        auto c = Connect();
        EXPECT_TRUE(c->Send(input));
        std::string replies = c->ReadToEnd();
        c.reset();
        EXPECT_TRUE(WaitFor([this] { return m_listener->ConnectionCount() == 0; }));
        return replies;
    }

    std::unique_ptr<TestSettings> m_settings;
    std::unique_ptr<CFileMan> m_fileMan;
    std::unique_ptr<SMTPInListener> m_listener;
    int m_port = 0;
};

}  // namespace

TEST(BaseDialogue, LineAnsweredEmptyLineNotAndOverTheLimitTryLater) {
    BaseListener listener(1);
    ASSERT_EQ(listener.ConnectToPort(0), 0);
    ASSERT_EQ(listener.StartAcceptThread(), 0);
    Client first(listener.BoundPort());
    ASSERT_TRUE(WaitFor([&] { return listener.ConnectionCount() == 1; }));
    Client second(listener.BoundPort());
    ASSERT_TRUE(second.Send("x"));
    EXPECT_EQ(second.ReadToEnd(), "Too Many Connections, Please Try Later.");
    ASSERT_TRUE(first.Send("hi\r\nmore input\r\n"));
    EXPECT_EQ(first.ReadToEnd(), kConnected);
    Client third(listener.BoundPort());
    ASSERT_TRUE(third.Send("\r\n"));
    EXPECT_EQ(third.ReadToEnd(), "");
}

// The whole message is on disk before the 250, handed off under the
// listener's lock and then removed; when the hand-off fails, or there is
// none, the raw message file stays in OUT.
TEST_F(SmtpListenerTest, MessageStoredAndHandedOff) {
    std::string body;
    for (int i = 0; i < 3000; ++i) body += "line " + std::to_string(i) + std::string(i % 90, 'q') + "\r\n";
    const std::string ok = kUpToDataReplies + "250 Mail Received OK\r\n221 Goodbye\r\n";
    for (int handOff : {0, 1, -1}) {  // succeeds, fails, none
        SCOPED_TRACE(handOff);
        HandOffs::s_Result = handOff;
        m_listener->m_HandOff = handOff < 0 ? nullptr : &HandOffs::Fn;
        HandOffs::s_Contents.clear();
        EXPECT_EQ(Dialogue(kUpToData + body + ".\r\nQUIT\r\n"), ok);
        EXPECT_EQ(HandOffs::s_Contents, std::vector<std::string>(handOff < 0 ? 0 : 1, kTrace + body));
        EXPECT_EQ(HandOffs::s_HandOffLock, &m_listener->HandOffLock());
        const std::vector<std::string> left = List(m_settings->Out());
        ASSERT_EQ(left.size(), handOff == 0 ? 0u : 1u);
        if (handOff != 0) {
            EXPECT_EQ(ReadAll(m_settings->OutFile(left[0])), kTrace + body);
            plat::RemoveFile(m_settings->OutFile(left[0]).c_str());
        }
    }
}

// A raw message file that cannot be created: the data are read to their
// end and answered 451; the session waits for the next MAIL.
TEST_F(SmtpListenerTest, RawFileCannotBeCreated) {
    Start(false);
    const std::string local = "451 Requested action aborted: local error in processing\r\n";
    EXPECT_EQ(Dialogue(kUpToData + "x\r\n.\r\nMAIL FROM:<a@b>\r\nQUIT\r\n"),
              kUpToDataReplies + local + "250 OK  FROM:<a@b> \r\n221 Goodbye\r\n");
    EXPECT_TRUE(HandOffs::s_Contents.empty());
}

// Until the data have ended, the message exists only under a temporary
// name; a lost connection removes it and hands nothing off.
TEST_F(SmtpListenerTest, ConnectionLostDuringDataKeepsNothing) {
    auto c = Connect();
    ASSERT_TRUE(c->Send(kUpToData + "Subject: partial\r\n\r\nsome of the body\r\n"));
    ASSERT_TRUE(WaitFor([this] { return !List(m_settings->Out(), "*.part").empty(); }));
    c.reset();
    ASSERT_TRUE(WaitFor([this] { return m_listener->ConnectionCount() == 0; }));
    EXPECT_TRUE(HandOffs::s_Contents.empty());
    EXPECT_EQ(List(m_settings->Out()), std::vector<std::string>{});
}

TEST_F(SmtpListenerTest, TwentyConnectionsAtOnce) {
    std::vector<std::unique_ptr<Client>> open;
    for (int i = 0; i < 20; ++i) open.push_back(Connect());
    EXPECT_EQ(Client(m_port).ReadToEnd(), "");  // the 21st: closed without a greeting
    // A client that has said goodbye and connects again at once is served,
    // though its old session may not have left the list yet.
    ASSERT_TRUE(open[0]->Send("QUIT\r\n"));
    EXPECT_EQ(open[0]->ReadToEnd(), "221 Goodbye\r\n");
    open[0] = Connect();
    ASSERT_TRUE(open[5]->Send("NOOP\r\n"));
    EXPECT_EQ(open[5]->Read(41), "250 Requested mail action ok, completed\r\n");
}

TEST_F(SmtpListenerTest, StopRequestClosesTheNextConnection) {
    m_listener->SetStopFlag();
    EXPECT_EQ(Client(m_port).ReadToEnd(), "");
    EXPECT_TRUE(WaitFor([this] { return !m_listener->IsAccepting(); }));
}

TEST(Listener, AcceptThreadThatCannotBeMadeIsReported) {
    struct Threadless : BaseListener {
        std::thread NewAcceptThread() override { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); }
    } listener;
    ASSERT_EQ(listener.ConnectToPort(0), 0);
    EXPECT_EQ(listener.StartAcceptThread(), 1);
    EXPECT_FALSE(listener.IsAccepting());
}

// A port in use is bound by the accept thread once it is free.
TEST_F(SmtpListenerTest, PortInUseIsBoundOnceFree) {
    BaseListener second(20, 100);
    EXPECT_EQ(second.ConnectToPort(m_port), 3);
    EXPECT_NE(second.BindError(), 0);
    ASSERT_EQ(second.StartAcceptThread(), 0);
    m_listener.reset();
    ASSERT_TRUE(WaitFor([&] { return second.IsListening(); }));
    Client c(m_port);
    ASSERT_TRUE(c.Send("hi\r\n"));
    EXPECT_EQ(c.ReadToEnd(), kConnected);
}

// A listener that goes while a client is connected ends the connection.
TEST_F(SmtpListenerTest, DestroyedWithOpenConnection) {
    auto c = Connect();
    m_listener.reset();
    EXPECT_EQ(c->ReadToEnd(), "");
}

// The one slow test: a silent client is dropped after 30 seconds.
TEST_F(SmtpListenerTest, IdleClientDisconnectedAfter30Seconds) {
    auto c = Connect(2 * kPatienceMs);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(c->ReadToEnd(), "");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 29.0);
    EXPECT_LE(seconds, 30.0 + kPatienceMs / 1000);
}
