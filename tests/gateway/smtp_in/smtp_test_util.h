// Helpers for the reception tests: a scratch data directory with its own
// settings, a scripted TCP client, a hand-off that records what the session
// stored, and a fixture that runs an SMTP listener on an ephemeral port.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/settings_names.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/core/cfileman.h"
#include "test_util.h"

namespace rxtest {

constexpr const char kDomain[] = "fax.example.com";

using testutil::List;
using testutil::ReadAll;
using testutil::WriteAll;

// Polls a condition until it holds. The limit is only a safety net: on a
// loaded machine (or under Wine) threads may wait seconds for a turn.
constexpr int kPatienceMs = 60000;
inline bool WaitFor(const std::function<bool()>& cond, int ms = kPatienceMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        plat::SleepMs(10);
    }
    return true;
}

// A fresh data directory with IN and OUT, and a settings store of its own
// that points at it (on Windows the real key, cleared before and after).
class TestSettings {
public:
    explicit TestSettings(bool withOut = true) : m_reg(qlsmtp::kSettingsKey) {
        m_data = m_dir / "data";
        plat::MakeDirectory(m_data.c_str());
        m_data += plat::kPathSep;
        plat::MakeDirectory(In().c_str());
        if (withOut) plat::MakeDirectory(Out().c_str());
        SetString(qlsmtp::kValProgramPath, m_data.c_str());
        SetString(qlsmtp::kValDomainName, kDomain);
    }
    TestSettings(const TestSettings&) = delete;
    TestSettings& operator=(const TestSettings&) = delete;

    // The data directory, ending in the path separator.
    const std::string& Data() const { return m_data; }
    std::string In() const { return m_data + "IN"; }
    std::string Out() const { return m_data + "OUT"; }
    std::string InFile(const std::string& name) const { return In() + plat::kPathSep + name; }
    std::string OutFile(const std::string& name) const { return Out() + plat::kPathSep + name; }

    void SetDword(const char* name, uint32_t v) {
        plat::CRegKey key;
        ASSERT_EQ(key.Open(qlsmtp::kSettingsKey, true), 0);
        ASSERT_EQ(key.SetDword(name, v), 0);
    }
    void SetString(const char* name, const char* v) {
        plat::CRegKey key;
        ASSERT_EQ(key.Open(qlsmtp::kSettingsKey, true), 0);
        ASSERT_EQ(key.SetString(name, v), 0);
    }
    uint32_t GetDword(const char* name) const {
        plat::CRegKey key;
        uint32_t v = 0xFFFFFFFFu;
        if (key.Open(qlsmtp::kSettingsKey, false) == 0) key.QueryDword(name, &v);
        return v;
    }

private:
    testutil::ScratchRegistry m_reg;
    testutil::TempDir m_dir;
    std::string m_data;
};

// A blocking TCP client on 127.0.0.1. Its time-out is a safety net too: a
// read waits for the server's bytes or its close, not for a fixed time.
class Client {
public:
    explicit Client(int port, uint32_t timeoutMs = kPatienceMs) {
        plat::NetStartup();
        m_sock = plat::CSocket(plat::TcpSocket());
        m_connected = plat::Connect(m_sock.Get(), testutil::Loopback(port)) == 0;
        plat::SetRecvTimeout(m_sock.Get(), timeoutMs);
        plat::SetSendTimeout(m_sock.Get(), timeoutMs);
    }
    ~Client() {
        m_sock.Close();
        plat::NetCleanup();
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return m_connected; }
    bool Send(const std::string& data) { return testutil::SendAll(m_sock.Get(), data); }
    // Up to n bytes; fewer when the connection ends or the time-out passes.
    std::string Read(size_t n) {
        std::string out(n, '\0');
        size_t got = 0;
        for (int r; got < n && (r = plat::Recv(m_sock.Get(), &out[got], static_cast<int>(n - got), 0)) > 0;)
            got += static_cast<size_t>(r);
        out.resize(got);
        return out;
    }
    std::string ReadLine() {
        std::string line;
        testutil::RecvLine(m_sock.Get(), &line);
        return line;
    }
    // Everything until the server closes; closed tells whether it did
    // (rather than the time-out passing).
    std::string ReadToEnd(bool* closed) {
        std::string out;
        char buf[4096];
        int r;
        while ((r = plat::Recv(m_sock.Get(), buf, sizeof(buf), 0)) > 0) out.append(buf, static_cast<size_t>(r));
        *closed = r == 0;
        return out;
    }

private:
    plat::CSocket m_sock;
    bool m_connected = false;
};

inline std::string Greeting() { return std::string("220 ") + kDomain + " Service Ready\r\n"; }
inline std::string Trace(const std::string& helo) {
    return "Received: from " + helo + " by " + kDomain + " ; \r\n";
}

// The test hand-off: records each raw message file's contents.
struct HandOffRecord {
    std::string path;
    std::string contents;
    const std::mutex* lock;
};

class HandOffCapture {
public:
    static HandOffCapture& Get() {
        static HandOffCapture c;
        return c;
    }
    void Reset(int result = 0) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_records.clear();
        m_result = result;
    }
    std::vector<HandOffRecord> Records() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_records;
    }
    static int Fn(std::mutex& handoffLock, const char* rawPath) {
        std::lock_guard<std::mutex> hold(handoffLock);
        HandOffCapture& c = Get();
        std::lock_guard<std::mutex> g(c.m_mutex);
        c.m_records.push_back({rawPath, ReadAll(rawPath), &handoffLock});
        return c.m_result;
    }

private:
    std::mutex m_mutex;
    std::vector<HandOffRecord> m_records;
    int m_result = 0;
};

// An SMTP listener on an ephemeral port with its own data directory and the
// recording hand-off.
class ReceptionTest : public ::testing::Test {
protected:
    void SetUp() override { Start(true); }
    void TearDown() override { Stop(); }

    void Start(bool withOut) {
        m_settings = std::make_unique<TestSettings>(withOut);
        m_fileMan = std::make_unique<CFileMan>();
        m_listener = std::make_unique<SMTPInListener>();
        m_listener->m_FileMan = m_fileMan.get();
        m_listener->m_HandOff = &HandOffCapture::Fn;
        HandOffCapture::Get().Reset();
        ASSERT_EQ(m_listener->ConnectToPort(0), 0);
        ASSERT_EQ(m_listener->StartAcceptThread(), 0);
        m_port = m_listener->BoundPort();
        ASSERT_GT(m_port, 0);
    }
    void Stop() {
        if (m_listener) m_listener->Shutdown();
        m_listener.reset();
        m_fileMan.reset();
        m_settings.reset();
    }

    // Connects and reads the greeting.
    std::unique_ptr<Client> Connect(uint32_t timeoutMs = kPatienceMs) {
        auto c = std::make_unique<Client>(m_port, timeoutMs);
        EXPECT_TRUE(c->Connected());
        EXPECT_EQ(c->Read(Greeting().size()), Greeting());
        return c;
    }
    // Waits until every connection thread has left the list.
    bool Idle() {
        return WaitFor([this] { return m_listener->ConnectionCount() == 0; });
    }

    std::unique_ptr<TestSettings> m_settings;
    std::unique_ptr<CFileMan> m_fileMan;
    std::unique_ptr<SMTPInListener> m_listener;
    int m_port = 0;
};

}  // namespace rxtest
