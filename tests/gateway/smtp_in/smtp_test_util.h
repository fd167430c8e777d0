// Helpers for the reception tests: a scratch data directory with its own
// settings, a scripted TCP client, and a hand-off that records what the
// session stored.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/settings_names.h"
#include "platform/file.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "test_util.h"

namespace rxtest {

constexpr const char kDomain[] = "fax.example.com";

using testutil::ReadAll;
using testutil::RemoveTree;
using testutil::WriteAll;

// Names in a folder matching a pattern, sorted.
inline std::vector<std::string> List(const std::string& folder, const char* pattern = "*") {
    std::vector<plat::DirEntry> entries;
    plat::ListDirectory(folder.c_str(), pattern, &entries);
    std::vector<std::string> names;
    for (const plat::DirEntry& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

// Polls a condition for up to ms milliseconds.
inline bool WaitFor(const std::function<bool()>& cond, int ms = 5000) {
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
        plat::CRegKey key;
        EXPECT_EQ(key.Open(qlsmtp::kSettingsKey, true), 0);
        key.SetString(qlsmtp::kValProgramPath, m_data.c_str());
        key.SetString(qlsmtp::kValDomainName, kDomain);
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

// A blocking TCP client on 127.0.0.1.
class Client {
public:
    explicit Client(int port, uint32_t timeoutMs = 10000) {
        plat::NetStartup();
        m_sock = plat::CSocket(plat::TcpSocket());
        plat::SockAddrIn a = {};
        a.family = 2;
        a.port = plat::HostToNet16(static_cast<uint16_t>(port));
        a.addr = plat::InetAddr("127.0.0.1");
        m_connected = plat::Connect(m_sock.Get(), a) == 0;
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

    bool Send(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            int n = plat::Send(m_sock.Get(), data.data() + done, static_cast<int>(data.size() - done), 0);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Up to n bytes; fewer when the connection ends or the time-out passes.
    std::string Read(size_t n) {
        std::string out;
        char buf[4096];
        while (out.size() < n) {
            size_t want = std::min(sizeof(buf), n - out.size());
            int r = plat::Recv(m_sock.Get(), buf, static_cast<int>(want), 0);
            if (r <= 0) {
                m_closed = r == 0;
                break;
            }
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
    // One line up to and including its LF.
    std::string ReadLine() {
        std::string out;
        char c;
        while (plat::Recv(m_sock.Get(), &c, 1, 0) == 1) {
            out.push_back(c);
            if (c == '\n') break;
        }
        return out;
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
    // Half-close: the server reads end of stream, replies still arrive.
    void ShutdownSend() { plat::ShutdownSend(m_sock.Get()); }
    void Close() { m_sock.Close(); }

private:
    plat::CSocket m_sock;
    bool m_connected = false;
    bool m_closed = false;
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

}  // namespace rxtest
