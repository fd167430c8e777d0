#include <chrono>
#include <cstring>
#include <string>

#include "gateway/smtp_out/clientsock.h"
#include "gateway/smtp_out/peers.h"
#include "test_util.h"

namespace {

// Connects a CClientSock to a server that sends `bytes` and then closes.
struct Fed {
    peers::Server server;
    CClientSock sock;
    explicit Fed(const std::string& bytes, bool close = true)
        : server([bytes, close](plat::SocketHandle s) {
              peers::SendAll(s, bytes);
              if (!close) {
                  char c;
                  plat::Recv(s, &c, 1, 0);
              }
          }) {
        EXPECT_EQ(sock.Connect(server.port(), "127.0.0.1"), 0);
        sock.SetReceiveTimeout(5000);
    }
};

TEST(ClientSock, ReadLineSplitsLongLinesAndStripsTheLineEnd) {
    std::string longLine(250, 'x');
    Fed f(longLine + "\r\n250 OK\r\n250 OK\n\r\na\rb\r\n25");
    char buf[201];
    EXPECT_EQ(f.sock.ReadLine(buf, 200), 200);
    EXPECT_EQ(std::string(buf), std::string(200, 'x'));
    EXPECT_EQ(f.sock.ReadLine(buf, 200), 50);
    EXPECT_EQ(std::string(buf), std::string(50, 'x'));
    struct {
        int result;
        const char* text;
    } expected[] = {{6, "250 OK"}, {6, "250 OK"}, {0, ""}, {3, "a\rb"}, {0, ""}};
    for (const auto& e : expected) {
        std::memset(buf, '?', sizeof(buf));
        EXPECT_EQ(f.sock.ReadLine(buf, 200), e.result) << e.text;
        EXPECT_STREQ(buf, e.text);
    }
    char small[1] = {'?'};
    EXPECT_EQ(f.sock.ReadLine(small, 0), 0);
    EXPECT_EQ(small[0], '\0');
}

TEST(ClientSock, SendTakesTheTextLengthOrExactlyTheGivenBytesAndAMegabyteWhole) {
    std::string got;
    peers::Server server([&got](plat::SocketHandle s) {
        char buf[65536];
        for (int n; (n = plat::Recv(s, buf, sizeof(buf), 0)) > 0;) got.append(buf, static_cast<size_t>(n));
    });
    CClientSock sock;
    ASSERT_EQ(sock.Connect(server.port(), "127.0.0.1"), 0);
    EXPECT_EQ(sock.Send("HELO x\r\n", -1), 8);
    EXPECT_EQ(sock.Send("ab\0cdef", 5), 5);
    EXPECT_EQ(sock.SendString("!"), 1);
    std::string big(1 << 20, 'm');
    EXPECT_EQ(sock.Send(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    EXPECT_EQ(sock.Disconnect(), 0);
    server.Join();
    EXPECT_TRUE(got == std::string("HELO x\r\nab\0cd!", 14) + big);
}

TEST(ClientSock, DrainInputDiscardsOnlyWhatHasArrived) {
    Fed f("220 greeting\r\n220 more\r\n", false);
    // Nothing may be there yet; this must not block either way.
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 200 && !f.sock.IsDataPending(); ++i) plat::SleepMs(5);
    EXPECT_TRUE(f.sock.IsDataPending());
    EXPECT_EQ(f.sock.DrainInput(), 0);
    EXPECT_FALSE(f.sock.IsDataPending());
    EXPECT_EQ(f.sock.DrainInput(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    // The socket is blocking again: a read now waits for the time-out.
    f.sock.SetReceiveTimeout(100);
    char buf[8];
    EXPECT_EQ(f.sock.Receive(buf, sizeof(buf)), -1);
}

TEST(ClientSock, ResolveHostAddressTakesTheHostPartOfAnAddress) {
    CClientSock sock;
    struct {
        const char* input;
        int capacity;
        int result;
        const char* output;
    } cases[] = {
        {"someone@localhost>", 64, 0, "127.0.0.1"},
        {"someone@localhost trailing words", 64, 0, "127.0.0.1"},
        {"localhost", 64, 0, "127.0.0.1"},
        {"127.0.0.1", 64, 0, "127.0.0.1"},
        {"a@127.1", 8, 1, "a@127.1"},
        {"a@127.1", 10, 0, "127.0.0.1"},
        {"someone@", 64, 2, "someone@"},
    };
    for (const auto& c : cases) {
        char buf[64];
        std::snprintf(buf, sizeof(buf), "%s", c.input);
        EXPECT_EQ(sock.ResolveHostAddress(buf, c.capacity), c.result) << c.input;
        EXPECT_STREQ(buf, c.output) << c.input;
    }
}

TEST(ClientSock, ConnectTakesDottedAddressesOnly) {
    CClientSock sock;
    peers::Server server([](plat::SocketHandle) {});
    EXPECT_EQ(sock.Connect(server.port(), "localhost"), 2);
    EXPECT_FALSE(sock.IsConnected());
    EXPECT_EQ(sock.Connect(peers::ClosedPort(), "127.0.0.1"), 2);
    EXPECT_EQ(sock.Connect(server.port(), "127.0.0.1"), 0);
    EXPECT_TRUE(sock.IsConnected());
    EXPECT_EQ(sock.Disconnect(), 0);
    EXPECT_FALSE(sock.IsConnected());
    EXPECT_EQ(sock.Disconnect(), 0);
}

}  // namespace
