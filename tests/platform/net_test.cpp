#include <cstring>
#include <thread>

#include "platform/eventlog.h"
#include "platform/net.h"
#include "test_util.h"

namespace {

struct Loopback {
    plat::CSocket listener, client, server;
    Loopback() {
        plat::NetStartup();
        listener = plat::CSocket(plat::TcpSocket());
        plat::SockAddrIn a = {};
        a.family = 2;
        a.addr = plat::InetAddr("127.0.0.1");
        EXPECT_EQ(plat::Bind(listener.Get(), a), 0);
        EXPECT_EQ(plat::Listen(listener.Get(), 5), 0);
        a.port = plat::HostToNet16(static_cast<uint16_t>(plat::LocalPort(listener.Get())));
        client = plat::CSocket(plat::TcpSocket());
        EXPECT_EQ(plat::Connect(client.Get(), a), 0);
        server = plat::CSocket(plat::Accept(listener.Get(), nullptr));
    }
    ~Loopback() { plat::NetCleanup(); }
};

TEST(Net, PeekDoesNotConsumeAndTimeoutReturnsError) {
    Loopback l;
    ASSERT_TRUE(l.server.IsValid());
    ASSERT_EQ(plat::Send(l.client.Get(), "hi", 2, 0), 2);
    char buf[4] = {};
    // The peer's bytes may take a moment on loopback.
    ASSERT_EQ(plat::SetRecvTimeout(l.server.Get(), 2000), 0);
    EXPECT_EQ(plat::Recv(l.server.Get(), buf, 1, plat::kMsgPeek), 1);
    EXPECT_EQ(plat::Recv(l.server.Get(), buf, 4, 0), 2);
    EXPECT_EQ(std::memcmp(buf, "hi", 2), 0);
    ASSERT_EQ(plat::SetRecvTimeout(l.server.Get(), 100), 0);
    EXPECT_EQ(plat::Recv(l.server.Get(), buf, 1, 0), plat::kSocketError);
    // Non-blocking peek on an empty socket returns at once.
    ASSERT_EQ(plat::SetNonBlocking(l.server.Get(), true), 0);
    EXPECT_EQ(plat::Recv(l.server.Get(), buf, 1, plat::kMsgPeek), plat::kSocketError);
    ASSERT_EQ(plat::SetNonBlocking(l.server.Get(), false), 0);
    plat::ShutdownBoth(l.client.Get());
    ASSERT_EQ(plat::SetRecvTimeout(l.server.Get(), 2000), 0);
    EXPECT_EQ(plat::Recv(l.server.Get(), buf, 1, 0), 0);
}

TEST(Net, SendToAClosedPeerFailsWithoutKillingTheProcess) {
    Loopback l;
    l.server.Close();
    int r = 0;
    for (int i = 0; i < 50 && r >= 0; ++i) r = plat::Send(l.client.Get(), "xxxxxxxx", 8, 0);
    EXPECT_EQ(r, plat::kSocketError);
}

TEST(Net, AddressConversions) {
    char out[16];
    plat::InetNtoa(plat::InetAddr("10.1.2.3"), out);
    EXPECT_STREQ(out, "10.1.2.3");
    EXPECT_EQ(plat::InetAddr("mail.example.com"), plat::kInaddrNone);
    uint32_t a = 0;
    EXPECT_EQ(plat::ResolveHostName("127.0.0.1", &a), 0);
    EXPECT_EQ(a, plat::InetAddr("127.0.0.1"));
}

TEST(EventLog, MessagesExpandInsertsAndDropTheLineEnd) {
    ASSERT_NE(plat::EventMessageText(420), nullptr);
    EXPECT_STREQ(plat::EventMessageText(420), "The %1  was installed.\r\n");
    EXPECT_EQ(plat::EventMessageText(419), nullptr);
    const char* s[] = {"Quillon SMTP Server", "C:\\in\\a.tmp", "C:\\IN\\A.ERR"};
    char out[256];
    plat::FormatEventMessage(plat::EventMessageText(435), s, 3, out, sizeof(out));
    EXPECT_STREQ(out,
                 "The Quillon SMTP Server found that TO field is absent in the message file:C:\\in\\a.tmp and "
                 "error file:C:\\IN\\A.ERR.");
    plat::FormatEventMessage("%1 and %2", s, 1, out, sizeof(out));
    EXPECT_STREQ(out, "Quillon SMTP Server and ");
    plat::FormatEventMessage("%1%1%1", s, 1, out, 10);
    EXPECT_STREQ(out, "Quillon S");
}

}  // namespace
