#include <chrono>
#include <cstring>
#include <thread>

#include "platform/eventlog.h"
#include "platform/net.h"
#include "test_util.h"

namespace {

TEST(Net, PeekDoesNotConsumeAndTimeoutReturnsError) {
    testutil::SocketPair l;
    EXPECT_EQ(l.peer.addr, plat::InetAddr("127.0.0.1"));
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
    testutil::SocketPair l;
    l.server.Close();
    int r = 0;
    for (int i = 0; i < 50 && r >= 0; ++i) r = plat::Send(l.client.Get(), "xxxxxxxx", 8, 0);
    EXPECT_EQ(r, plat::kSocketError);
}

// The stop path relies on this to end connection threads.
TEST(Net, ShutdownWakesAReceiveBlockedInAnotherThread) {
    testutil::SocketPair l;
    ASSERT_EQ(plat::SetRecvTimeout(l.server.Get(), 60000), 0);
    int result = 1;
    std::thread reader([&] {
        char buf[8];
        result = plat::Recv(l.server.Get(), buf, sizeof(buf), 0);
    });
    plat::SleepMs(200);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(plat::ShutdownBoth(l.server.Get()), 0);
    reader.join();
    EXPECT_LE(result, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    char buf[8];
    EXPECT_EQ(plat::Recv(l.client.Get(), buf, sizeof(buf), 0), 0);
}

TEST(Net, AddressConversions) {
    char out[16];
    plat::InetNtoa(plat::InetAddr("10.1.2.3"), out);
    EXPECT_STREQ(out, "10.1.2.3");
    EXPECT_EQ(plat::InetAddr("192.168.1.20"), plat::HostToNet32(0xC0A80114u));
    EXPECT_EQ(plat::InetAddr("mail.example.com"), plat::kInaddrNone);
    EXPECT_EQ(plat::InetAddr(nullptr), plat::kInaddrNone);
    plat::NetStartup();
    uint32_t a = 0;
    EXPECT_EQ(plat::ResolveHostName("127.0.0.1", &a), 0);
    EXPECT_EQ(a, plat::InetAddr("127.0.0.1"));
    EXPECT_NE(plat::ResolveHostName("no-such-host.invalid", &a), 0);
    plat::NetCleanup();
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
