// Fuzzes the receiving SMTP session: the input is everything a client sends
// on one connection, after which it closes its sending side. The session
// runs on this thread over a loopback connection; a writer and a reader
// thread play the client. Checks the replies and what was stored:
// - every reply line is a known code and ends in CR LF, the first is "220 ";
// - each "250 Mail Received OK" matches exactly one hand-off, and every
//   handed-off file begins with the trace line;
// - nothing is left in OUT: no data of an unacknowledged message, no raw
//   message file that was not handed off.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/settings_names.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/core/cfileman.h"
#include "platform/file.h"
#include "platform/net.h"
#include "tests/support/files.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

std::string g_root;
std::string g_out;
std::unique_ptr<CFileMan> g_fileMan;
std::unique_ptr<SMTPInListener> g_listener;
plat::CSocket g_listen;
plat::SockAddrIn g_addr = {};
int g_handOffs = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_smtp_session: %s\n", what);
        std::abort();
    }
}

int HandOff(std::mutex& lock, const char* rawPath) {
    std::lock_guard<std::mutex> g(lock);
    std::string data;
    testsupport::ReadFile(rawPath, &data);
    const std::string head = "Received: from ";
    Check(data.compare(0, head.size(), head) == 0, "handed-off file without the trace line");
    size_t eol = data.find("\r\n");
    Check(eol != std::string::npos && eol >= 3 && data.compare(eol - 3, 3, " ; ") == 0,
          "trace line not ended by \" ; \" and CR LF");
    ++g_handOffs;
    return 0;
}

void Cleanup() {
    g_listener.reset();
    g_fileMan.reset();
    testsupport::RemoveTree(g_root);
}

bool KnownReply(const std::string& line) {
    static const char* const kCodes[] = {"220 ", "221 ", "214-", "214 ", "250 ", "354 ", "451 ", "500 ", "503 "};
    for (const char* c : kCodes)
        if (line.compare(0, 4, c) == 0) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_root = testsupport::TempBase() + plat::kPathSep + "qlsmtp-fuzz-session-" + std::to_string(plat::ProcessId());
    testsupport::RemoveTree(g_root);
    plat::MakeDirectory(g_root.c_str());
    std::string data = g_root + plat::kPathSep + "data" + plat::kPathSep;
    plat::MakeDirectory(data.substr(0, data.size() - 1).c_str());
    plat::MakeDirectory((data + "IN").c_str());
    g_out = data + "OUT";
    plat::MakeDirectory(g_out.c_str());
    plat::SetEnv("QLSMTP_REGISTRY", (g_root + plat::kPathSep + "registry.reg").c_str());
    plat::SetEnv("QLSMTP_EVENTLOG", (g_root + plat::kPathSep + "events.log").c_str());
    {
        plat::CRegKey key;
        if (key.Open(qlsmtp::kSettingsKey, true) != 0) std::abort();
        key.SetString(qlsmtp::kValProgramPath, data.c_str());
        key.SetString(qlsmtp::kValDomainName, "fax.example.com");
    }
    g_fileMan = std::make_unique<CFileMan>();
    g_listener = std::make_unique<SMTPInListener>();
    g_listener->m_FileMan = g_fileMan.get();
    g_listener->m_HandOff = HandOff;

    plat::NetStartup();
    g_listen = plat::CSocket(plat::TcpSocket());
    g_addr.family = 2;
    g_addr.addr = plat::InetAddr("127.0.0.1");
    if (plat::Bind(g_listen.Get(), g_addr) != 0 || plat::Listen(g_listen.Get(), 5) != 0) std::abort();
    g_addr.port = plat::HostToNet16(static_cast<uint16_t>(plat::LocalPort(g_listen.Get())));
    std::atexit(Cleanup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);

    plat::CSocket client(plat::TcpSocket());
    if (plat::Connect(client.Get(), g_addr) != 0) std::abort();
    plat::CSocket server(plat::Accept(g_listen.Get(), nullptr));
    if (!server.IsValid()) std::abort();
    // Safety nets only: the client always ends its side, so nothing waits.
    plat::SetRecvTimeout(client.Get(), 10000);
    plat::SetSendTimeout(client.Get(), 10000);

    std::thread writer([&] {
        size_t done = 0;
        while (done < input.size()) {
            int n = plat::Send(client.Get(), input.data() + done, static_cast<int>(input.size() - done), 0);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        plat::ShutdownSend(client.Get());
    });
    std::string replies;
    std::thread reader([&] {
        char buf[65536];
        int n;
        while ((n = plat::Recv(client.Get(), buf, sizeof(buf), 0)) > 0) replies.append(buf, static_cast<size_t>(n));
    });

    g_handOffs = 0;
    {
        SMTPInThread session;
        session.m_Socket = server.Get();
        session.m_Listener = g_listener.get();
        session.SetReceiveTimeout(10000);
        session.SetSendTimeout(10000);
        session.OnConnect();
    }
    plat::ShutdownBoth(server.Get());
    server.Close();
    writer.join();
    reader.join();

    // Replies: whole lines with known codes.
    Check(replies.compare(0, 20, "220 fax.example.com ") == 0, "no greeting");
    Check(replies.size() >= 2 && replies.compare(replies.size() - 2, 2, "\r\n") == 0, "reply without CR LF");
    int acknowledged = 0;
    for (size_t start = 0; start < replies.size();) {
        size_t eol = replies.find("\r\n", start);
        Check(eol != std::string::npos, "reply without CR LF");
        std::string line = replies.substr(start, eol - start);
        Check(KnownReply(line), "unknown reply code");
        if (line == "250 Mail Received OK") ++acknowledged;
        start = eol + 2;
    }
    Check(acknowledged == g_handOffs, "acknowledged messages and hand-offs differ");

    std::vector<plat::DirEntry> left;
    plat::ListDirectory(g_out.c_str(), "*", &left);
    Check(left.empty(), "files left in OUT");
    return 0;
}
