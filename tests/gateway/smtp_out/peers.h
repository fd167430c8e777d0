// Scripted peers on loopback for the outbound tests; the answers of dns/answers.txt.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "platform/net.h"
#include "platform/system.h"
#include "test_util.h"

namespace peers {

// Runs handler on up to `connections` connections, one after another.
struct Server {
    Server(std::function<void(plat::SocketHandle)> handler, int connections = 1, const char* address = "127.0.0.1",
           int port = 0) {
        plat::NetStartup();
        m_listener = plat::CSocket(plat::TcpSocket());
        m_ok = plat::Bind(m_listener.Get(), testutil::Loopback(port, address)) == 0 &&
               plat::Listen(m_listener.Get(), 8) == 0;
        m_port = plat::LocalPort(m_listener.Get());
        if (m_ok)
            m_thread = std::thread([this, handler, connections] {
                for (int i = 0; i < connections; ++i) {
                    plat::CSocket c(plat::Accept(m_listener.Get(), nullptr));
                    if (!c.IsValid()) return;
                    ++m_accepted;
                    plat::SetRecvTimeout(c.Get(), 10000);
                    handler(c.Get());
                }
            });
    }
    ~Server() {
        plat::ShutdownBoth(m_listener.Get());  // ends a pending accept
        m_listener.Close();
        Join();
        plat::NetCleanup();
    }
    void Join() { m_thread.joinable() ? m_thread.join() : void(); }
    plat::CSocket m_listener;
    std::thread m_thread;
    std::atomic<int> m_accepted{0};
    bool m_ok = false;
    int m_port = 0;
};

// A port on 127.0.0.1 where nothing listens.
inline int ClosedPort() { return Server([](plat::SocketHandle) {}, 0).m_port; }

inline std::string Hex(const std::string& hex) {
    std::string b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(char(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
}

// "== title", "at N" (where the records start), "hex ..." lines, "-> " lines.
struct AnswerCase {
    std::string title, bytes;
    int at = 0;
    std::vector<std::string> expected;
};
inline std::vector<AnswerCase> LoadAnswers() {
    std::string path(__FILE__);
    std::ifstream in(path.substr(0, path.find_last_of("/\\") + 1) + "dns/answers.txt");
    std::vector<AnswerCase> cases;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 3, "== ") == 0) cases.push_back({line.substr(3), "", 0, {}});
        if (line.compare(0, 3, "at ") == 0) cases.back().at = std::stoi(line.substr(3));
        if (line.compare(0, 4, "hex ") == 0) cases.back().bytes += Hex(line.substr(4));
        if (line.compare(0, 3, "-> ") == 0) cases.back().expected.push_back(line.substr(3));
    }
    return cases;
}
inline std::string Answer(const std::string& title) {
    for (const AnswerCase& c : LoadAnswers())
        if (c.title == title) return c.bytes;
    return {};
}

// Answers each query with the answer titled so (empty: closes at once).
struct NameServer {
    explicit NameServer(const std::string& title, int connections = 1, const char* address = "127.0.0.1")
        : answer(Answer(title)), server([this](plat::SocketHandle s) { Serve(s); }, connections, address) {}
    void Serve(plat::SocketHandle s) {
        std::string q(512, '\0');
        int n = plat::Recv(s, q.data(), static_cast<int>(q.size()), 0);
        if (n <= 0 || (last = q.substr(0, static_cast<size_t>(n)), ++queries, answer.empty())) return;
        testutil::SendAll(s, std::string{char(answer.size() >> 8), char(answer.size())} + answer);
        plat::Recv(s, q.data(), 1, 0);  // until the client closes
    }
    std::string answer, last;  // last: the last query
    std::atomic<int> queries{0};
    Server server;
};

// Replies to each command by its first four letters ("END": to the end of
// the data); log holds the commands and the data, "--" at each end.
struct SmtpServer {
    explicit SmtpServer(std::map<std::string, std::string> r = {}, int connections = 1,
                        const char* address = "127.0.0.1", int port = 0)
        : server([this, r](plat::SocketHandle s) { Serve(s, r); }, connections, address, port) {}
    void Serve(plat::SocketHandle s, std::map<std::string, std::string> r) {
        r.insert({{"HELO", "250 a\r\n"}, {"Mail", "250 a\r\n"}, {"RCPT", "250 a\r\n"}, {"DATA", "354 a\r\n"}});
        r.insert({"END", "250 a\r\n"});
        testutil::SendAll(s, "220 test ready\r\n");
        for (std::string line; testutil::RecvLine(s, &line) && (log += line, line.compare(0, 4, "QUIT") != 0);) {
            std::string verb = line.substr(0, 4);
            testutil::SendAll(s, r.count(verb) ? r[verb] : "500 what\r\n");
            while (verb == "DATA" && testutil::RecvLine(s, &line) && (log += line, line != ".\r\n")) continue;
            if (verb == "DATA") testutil::SendAll(s, r["END"]);
        }
        log += "--\r\n";
    }
    std::string Log() { return server.Join(), log; }
    std::string log;
    Server server;
};

}  // namespace peers
