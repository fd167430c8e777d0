// The SMTP listener and its connections over 127.0.0.1: the messages stored
// and handed off, the connection limit and the time-out.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/smtp_in/smtp_test_util.h"

using namespace rxtest;

namespace {

const std::string kGreeting = std::string("220 ") + kDomain + " Service Ready\r\n";
const std::string kUpToData = "HELO c\r\nMAIL FROM:<s@example.org>\r\nRCPT TO:<f@example.com>\r\nDATA\r\n";
const std::string kUpToDataReplies = std::string("250 ") + kDomain +
                                     " c\r\n250 OK  FROM:<s@example.org> \r\n250 OK  TO:<f@example.com> \r\n"
                                     "354 Start mail input, end with <CRLF>.<CRLF>\r\n";

// The test hand-off: records each raw message file's contents and the lock.
std::vector<std::string> g_handedOff;
const std::mutex* g_handOffLock = nullptr;
int g_handOffResult = 0;
int HandOff(std::mutex& handOffLock, const char* rawPath) {
    std::lock_guard<std::mutex> hold(handOffLock);
    g_handedOff.push_back(ReadAll(rawPath));
    g_handOffLock = &handOffLock;
    return g_handOffResult;
}

// An SMTP listener on a free port with its own data directory.
class SmtpListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_listener->m_FileMan = &m_fileMan;
        m_listener->m_HandOff = &HandOff;
        g_handedOff.clear();
        ASSERT_EQ(m_listener->ConnectToPort(0), 0);
        ASSERT_EQ(m_listener->StartAcceptThread(), 0);
    }
    std::unique_ptr<Client> Connect(uint32_t timeoutMs = kPatienceMs) {
        auto c = std::make_unique<Client>(m_listener->BoundPort(), timeoutMs);
        EXPECT_EQ(c->Line(), kGreeting);
        return c;
    }

    TestSettings m_settings;
    CFileMan m_fileMan;
    std::unique_ptr<SMTPInListener> m_listener = std::make_unique<SMTPInListener>();
};

}  // namespace

// The whole message is on disk before the 250, handed off under the
// listener's lock and then removed; when the hand-off fails, or there is
// none, the raw message file stays in OUT.
TEST_F(SmtpListenerTest, MessageStoredAndHandedOff) {
    std::string body;
    for (int i = 0; i < 3000; ++i) body += "line " + std::to_string(i) + std::string(i % 90, 'q') + "\r\n";
    const std::string stored = std::string("Received: from c by ") + kDomain + " ; \r\n" + body;
    for (int handOff : {0, 1, -1}) {  // succeeds, fails, none
        SCOPED_TRACE(handOff);
        g_handOffResult = handOff;
        m_listener->m_HandOff = handOff < 0 ? nullptr : &HandOff;
        g_handedOff.clear();
        auto c = Connect();
        ASSERT_TRUE(c->Send(kUpToData + body + ".\r\nQUIT\r\n"));
        EXPECT_EQ(c->ReadToEnd(), kUpToDataReplies + "250 Mail Received OK\r\n221 Goodbye\r\n");
        ASSERT_TRUE(WaitFor([this] { return m_listener->ConnectionCount() == 0; }));
        EXPECT_EQ(g_handedOff, std::vector<std::string>(handOff < 0 ? 0 : 1, stored));
        EXPECT_EQ(g_handOffLock, &m_listener->HandOffLock());
        const std::vector<std::string> left = List(m_settings.Out());
        ASSERT_EQ(left.size(), handOff == 0 ? 0u : 1u);
        if (handOff != 0) {
            EXPECT_EQ(ReadAll(m_settings.OutFile(left[0])), stored);
            plat::RemoveFile(m_settings.OutFile(left[0]).c_str());
        }
    }
}

// Until the data have ended, the message exists only under a temporary
// name; a lost connection removes it and hands nothing off.
TEST_F(SmtpListenerTest, ConnectionLostDuringDataKeepsNothing) {
    auto c = Connect();
    ASSERT_TRUE(c->Send(kUpToData + "Subject: partial\r\n\r\nsome of the body\r\n"));
    ASSERT_TRUE(WaitFor([this] { return !List(m_settings.Out(), "*.part").empty(); }));
    c.reset();
    ASSERT_TRUE(WaitFor([this] { return m_listener->ConnectionCount() == 0; }));
    EXPECT_TRUE(g_handedOff.empty());
    EXPECT_EQ(List(m_settings.Out()), std::vector<std::string>{});
}

TEST_F(SmtpListenerTest, TwentyConnectionsAtOnce) {
    std::vector<std::unique_ptr<Client>> open;
    for (int i = 0; i < 20; ++i) open.push_back(Connect());
    EXPECT_EQ(Client(m_listener->BoundPort()).ReadToEnd(), "");  // the 21st: closed without a greeting
    // A client that has said goodbye and connects again at once is served,
    // though its old session may not have left the list yet.
    ASSERT_TRUE(open[0]->Send("QUIT\r\n"));
    EXPECT_EQ(open[0]->ReadToEnd(), "221 Goodbye\r\n");
    open[0] = Connect();
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
