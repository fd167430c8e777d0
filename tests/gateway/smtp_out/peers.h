// Scripted peers for the outbound tests: a TCP server on a loopback address
// whose connections run a handler one after another, a DNS message builder,
// a scripted name server and a scripted SMTP receiver.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"
#include "platform/system.h"
#include "test_util.h"

namespace peers {

using Bytes = std::vector<uint8_t>;
using testutil::SendAll;

// Exactly len bytes, or false when the peer closes or times out first.
inline bool RecvExact(plat::SocketHandle s, uint8_t* p, size_t len) {
    for (int n; len > 0; p += n, len -= static_cast<size_t>(n))
        if ((n = plat::Recv(s, p, static_cast<int>(len), 0)) <= 0) return false;
    return true;
}

// Listens on address:port (port 0: an ephemeral one) and serves up to
// `connections` connections one after another, each with handler.
class Server {
public:
    using Handler = std::function<void(plat::SocketHandle)>;
    Server(Handler handler, int connections = 1, const char* address = "127.0.0.1", int port = 0)
        : m_handler(std::move(handler)) {
        plat::NetStartup();
        m_listener = plat::CSocket(plat::TcpSocket());
        m_ok = plat::Bind(m_listener.Get(), testutil::Loopback(port, address)) == 0 &&
               plat::Listen(m_listener.Get(), 8) == 0;
        m_port = plat::LocalPort(m_listener.Get());
        if (!m_ok) return;
        m_thread = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                plat::CSocket c(plat::Accept(m_listener.Get(), nullptr));
                if (!c.IsValid()) return;
                ++m_accepted;
                plat::SetRecvTimeout(c.Get(), 10000);
                m_handler(c.Get());
            }
        });
    }
    ~Server() {
        plat::ShutdownBoth(m_listener.Get());  // unblocks a pending accept
        m_listener.Close();
        Join();
        plat::NetCleanup();
    }
    bool ok() const { return m_ok; }
    int port() const { return m_port; }
    int accepted() const { return m_accepted; }
    // Waits for the serving thread (all connections served).
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }

private:
    Handler m_handler;
    plat::CSocket m_listener;
    std::thread m_thread;
    std::atomic<int> m_accepted{0};
    bool m_ok = false;
    int m_port = 0;
};

// A port on 127.0.0.1 where nothing listens.
inline int ClosedPort() {
    plat::NetStartup();
    plat::CSocket s(plat::TcpSocket());
    plat::Bind(s.Get(), testutil::Loopback(0));
    int port = plat::LocalPort(s.Get());
    s.Close();
    plat::NetCleanup();
    return port;
}

// ---- DNS messages ----

inline void Put16(Bytes* b, uint32_t v) {
    b->push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    b->push_back(static_cast<uint8_t>(v & 0xFF));
}
inline void Put32(Bytes* b, uint32_t v) {
    Put16(b, v >> 16);
    Put16(b, v & 0xFFFF);
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}
inline Bytes Name(const std::string& dotted) {
    Bytes b;
    for (size_t start = 0, dot; start < dotted.size(); start = dot + 1) {
        dot = std::min(dotted.find('.', start), dotted.size());
        b.push_back(static_cast<uint8_t>(dot - start));
        b.insert(b.end(), dotted.begin() + static_cast<long>(start), dotted.begin() + static_cast<long>(dot));
    }
    b.push_back(0);
    return b;
}
inline Bytes Pointer(int offset) {
    return Bytes{static_cast<uint8_t>(0xC0 | (offset >> 8)), static_cast<uint8_t>(offset & 0xFF)};
}
inline Bytes Ipv4(const char* dotted) {
    uint32_t a = plat::InetAddr(dotted);
    Bytes b(4);
    std::memcpy(b.data(), &a, 4);
    return b;
}
inline Bytes MxData(int preference, const Bytes& exchange) {
    // Sized first: GCC 12 (mingw, -O2) warns falsely on an insert after two bytes.
    Bytes b(exchange.size() + 2);
    b[0] = static_cast<uint8_t>((preference >> 8) & 0xFF);
    b[1] = static_cast<uint8_t>(preference & 0xFF);
    std::copy(exchange.begin(), exchange.end(), b.begin() + 2);
    return b;
}

// A response: header, the question for domain (type 15, class IN) and the
// records as given (owner name bytes, type, ttl, rdata).
struct Record {
    Bytes owner;
    int type;
    uint32_t ttl;
    Bytes rdata;
};
inline Bytes Response(const std::string& domain, bool authoritative, int an, int ns, int ar,
                      const std::vector<Record>& records) {
    Bytes b = {0x86, 0x39, static_cast<uint8_t>(0x81 | (authoritative ? 0x04 : 0)), 0x80, 0, 1};
    for (int count : {an, ns, ar}) Put16(&b, static_cast<uint32_t>(count));
    b = Cat({b, Name(domain), Bytes{0, 15, 0, 1}});
    for (const Record& r : records) {
        b.insert(b.end(), r.owner.begin(), r.owner.end());
        for (uint32_t v : {static_cast<uint32_t>(r.type), 1u}) Put16(&b, v);
        Put32(&b, r.ttl);
        Put16(&b, static_cast<uint32_t>(r.rdata.size()));
        b.insert(b.end(), r.rdata.begin(), r.rdata.end());
    }
    return b;
}

// A name server that answers every query on its connections with the
// response that respond makes from the query (empty: close without one).
class NameServer {
public:
    using Respond = std::function<Bytes(const Bytes& query)>;
    NameServer(Respond respond, int connections = 1, const char* address = "127.0.0.1", int port = 0)
        : m_respond(std::move(respond)),
          m_server([this](plat::SocketHandle s) { Serve(s); }, connections, address, port) {}
    int port() const { return m_server.port(); }
    bool ok() const { return m_server.ok(); }
    int accepted() const { return m_server.accepted(); }
    std::vector<Bytes> queries() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_queries;
    }

private:
    void Serve(plat::SocketHandle s) {
        uint8_t prefix[2];
        if (!RecvExact(s, prefix, 2)) return;
        Bytes q(static_cast<size_t>((prefix[0] << 8) | prefix[1]));
        if (!RecvExact(s, q.data(), q.size())) return;
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_queries.push_back(q);
        }
        Bytes r = m_respond(q);
        if (r.empty()) return;
        Bytes out;
        Put16(&out, static_cast<uint32_t>(r.size()));
        out = Cat({out, r});
        SendAll(s, std::string(out.begin(), out.end()));
        char c;
        plat::Recv(s, &c, 1, 0);  // until the client closes
    }

    Respond m_respond;
    std::mutex m_lock;
    std::vector<Bytes> m_queries;
    Server m_server;
};

// ---- SMTP receiver ----

struct SmtpBehavior {
    std::string greeting = "220 test ESMTP ready\r\n";
    std::string helo = "250 hello\r\n";
    std::string mail = "250 sender ok\r\n";
    std::string rcpt = "250 recipient ok\r\n";
    std::string data = "354 go ahead\r\n";
    std::string end = "250 queued\r\n";
    bool closeAfter354 = false;
    int endDelayMs = 0;        // before the reply to the end of the data
    int stallAfter354Ms = 0;   // reads nothing more for this long, then closes
};

struct SmtpSession {
    std::vector<std::string> commands;  // each with its CR LF
    std::string data;                   // the bytes after 354 up to and with ".\r\n"
};

class SmtpServer {
public:
    explicit SmtpServer(SmtpBehavior behavior = SmtpBehavior(), int connections = 1,
                        const char* address = "127.0.0.1", int port = 0)
        : m_behavior(std::move(behavior)),
          m_server([this](plat::SocketHandle s) { Serve(s); }, connections, address, port) {}
    int port() const { return m_server.port(); }
    bool ok() const { return m_server.ok(); }
    int accepted() const { return m_server.accepted(); }
    void Join() { m_server.Join(); }
    std::vector<SmtpSession> sessions() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_sessions;
    }

private:
    void Serve(plat::SocketHandle s) {
        SmtpSession session;
        SendAll(s, m_behavior.greeting);
        std::string line;
        while (testutil::RecvLine(s, &line)) {
            session.commands.push_back(line);
            std::string verb = line.substr(0, 4);
            for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (verb == "QUIT") {
                SendAll(s, "221 bye\r\n");
                break;
            }
            SendAll(s, verb == "HELO"   ? m_behavior.helo
                       : verb == "MAIL" ? m_behavior.mail
                       : verb == "RCPT" ? m_behavior.rcpt
                       : verb == "DATA" ? m_behavior.data
                                        : std::string("500 what\r\n"));
            if (verb != "DATA") continue;
            if (m_behavior.closeAfter354) break;
            if (m_behavior.stallAfter354Ms > 0) {
                plat::SleepMs(static_cast<uint32_t>(m_behavior.stallAfter354Ms));
                break;
            }
            while (testutil::RecvLine(s, &line)) {
                session.data += line;
                if (line == ".\r\n") break;
            }
            if (m_behavior.endDelayMs > 0) plat::SleepMs(static_cast<uint32_t>(m_behavior.endDelayMs));
            SendAll(s, m_behavior.end);
        }
        std::lock_guard<std::mutex> g(m_lock);
        m_sessions.push_back(session);
    }

    SmtpBehavior m_behavior;
    std::mutex m_lock;
    std::vector<SmtpSession> m_sessions;
    Server m_server;
};

}  // namespace peers
