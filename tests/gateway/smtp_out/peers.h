// Scripted peers for the outbound tests: a TCP server on a loopback address
// whose connections run a handler on a thread of their own, a DNS message
// builder, a scripted name server and a scripted SMTP receiver.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

namespace peers {

using Bytes = std::vector<uint8_t>;

inline bool SendAll(plat::SocketHandle s, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        int n = plat::Send(s, p, static_cast<int>(len), 0);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}
inline bool SendText(plat::SocketHandle s, const std::string& t) { return SendAll(s, t.data(), t.size()); }

// Exactly len bytes, or false when the peer closes or times out first.
inline bool RecvExact(plat::SocketHandle s, void* data, size_t len) {
    char* p = static_cast<char*>(data);
    while (len > 0) {
        int n = plat::Recv(s, p, static_cast<int>(len), 0);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// One line with its CR LF; false at close or time-out before a LF.
inline bool RecvLine(plat::SocketHandle s, std::string* line) {
    line->clear();
    char c;
    while (plat::Recv(s, &c, 1, 0) == 1) {
        line->push_back(c);
        if (c == '\n') return true;
    }
    return false;
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
        plat::SockAddrIn a = {};
        a.family = 2;
        a.addr = plat::InetAddr(address);
        a.port = plat::HostToNet16(static_cast<uint16_t>(port));
        m_ok = plat::Bind(m_listener.Get(), a) == 0 && plat::Listen(m_listener.Get(), 8) == 0;
        m_port = plat::LocalPort(m_listener.Get());
        if (!m_ok) return;
        m_thread = std::thread([this, connections] {
            for (int i = 0; i < connections; ++i) {
                plat::CSocket c(plat::Accept(m_listener.Get(), nullptr));
                if (!c.IsValid()) return;
                {
                    std::lock_guard<std::mutex> g(m_lock);
                    ++m_accepted;
                }
                plat::SetRecvTimeout(c.Get(), 10000);
                m_handler(c.Get());
            }
        });
    }
    ~Server() {
        // Unblocks a pending accept.
        plat::ShutdownBoth(m_listener.Get());
        m_listener.Close();
        if (m_thread.joinable()) m_thread.join();
        plat::NetCleanup();
    }
    bool ok() const { return m_ok; }
    int port() const { return m_port; }
    int accepted() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_accepted;
    }
    // Waits for the serving thread (all connections served).
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }

private:
    Handler m_handler;
    plat::CSocket m_listener;
    std::thread m_thread;
    std::mutex m_lock;
    int m_accepted = 0;
    bool m_ok = false;
    int m_port = 0;
};

// A port on 127.0.0.1 where nothing listens.
inline int ClosedPort() {
    plat::NetStartup();
    plat::CSocket s(plat::TcpSocket());
    plat::SockAddrIn a = {};
    a.family = 2;
    a.addr = plat::InetAddr("127.0.0.1");
    plat::Bind(s.Get(), a);
    int port = plat::LocalPort(s.Get());
    s.Close();
    plat::NetCleanup();
    return port;
}

// ---- DNS messages ----

inline void Put16(Bytes* b, int v) {
    b->push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    b->push_back(static_cast<uint8_t>(v & 0xFF));
}
inline void Put32(Bytes* b, uint32_t v) {
    Put16(b, static_cast<int>(v >> 16));
    Put16(b, static_cast<int>(v & 0xFFFF));
}
inline Bytes Name(const std::string& dotted) {
    Bytes b;
    size_t start = 0;
    while (start < dotted.size()) {
        size_t dot = dotted.find('.', start);
        if (dot == std::string::npos) dot = dotted.size();
        b.push_back(static_cast<uint8_t>(dot - start));
        b.insert(b.end(), dotted.begin() + static_cast<long>(start), dotted.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    b.push_back(0);
    return b;
}
inline Bytes Pointer(int offset) {
    return Bytes{static_cast<uint8_t>(0xC0 | (offset >> 8)), static_cast<uint8_t>(offset & 0xFF)};
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
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
    Bytes b;
    Put16(&b, 0x8639);
    b.push_back(static_cast<uint8_t>(0x81 | (authoritative ? 0x04 : 0)));
    b.push_back(0x80);
    Put16(&b, 1);
    Put16(&b, an);
    Put16(&b, ns);
    Put16(&b, ar);
    Bytes q = Name(domain);
    b.insert(b.end(), q.begin(), q.end());
    Put16(&b, 15);
    Put16(&b, 1);
    for (const Record& r : records) {
        b.insert(b.end(), r.owner.begin(), r.owner.end());
        Put16(&b, r.type);
        Put16(&b, 1);
        Put32(&b, r.ttl);
        Put16(&b, static_cast<int>(r.rdata.size()));
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
    int accepted() { return m_server.accepted(); }
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
        Put16(&out, static_cast<int>(r.size()));
        out.insert(out.end(), r.begin(), r.end());
        SendAll(s, out.data(), out.size());
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
};

struct SmtpSession {
    std::vector<std::string> commands;  // each with its CR LF
    std::string data;                   // the bytes after 354 up to and with ".\r\n"
    bool quit = false;
};

class SmtpServer {
public:
    explicit SmtpServer(SmtpBehavior behavior = SmtpBehavior(), int connections = 1,
                        const char* address = "127.0.0.1", int port = 0)
        : m_behavior(std::move(behavior)),
          m_server([this](plat::SocketHandle s) { Serve(s); }, connections, address, port) {}
    int port() const { return m_server.port(); }
    bool ok() const { return m_server.ok(); }
    int accepted() { return m_server.accepted(); }
    void Join() { m_server.Join(); }
    std::vector<SmtpSession> sessions() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_sessions;
    }

private:
    void Serve(plat::SocketHandle s) {
        SmtpSession session;
        SendText(s, m_behavior.greeting);
        std::string line;
        while (RecvLine(s, &line)) {
            session.commands.push_back(line);
            std::string verb = line.substr(0, 4);
            for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (verb == "HELO") {
                SendText(s, m_behavior.helo);
            } else if (verb == "MAIL") {
                SendText(s, m_behavior.mail);
            } else if (verb == "RCPT") {
                SendText(s, m_behavior.rcpt);
            } else if (verb == "DATA") {
                SendText(s, m_behavior.data);
                if (m_behavior.closeAfter354) break;
                while (RecvLine(s, &line)) {
                    session.data += line;
                    if (line == ".\r\n") break;
                }
                SendText(s, m_behavior.end);
            } else if (verb == "QUIT") {
                session.quit = true;
                SendText(s, "221 bye\r\n");
                break;
            } else {
                SendText(s, "500 what\r\n");
            }
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
