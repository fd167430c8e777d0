// Helpers for the reception tests: a scratch data directory with its own
// settings, and a blocking TCP client.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "common/settings_names.h"
#include "gateway/smtp_in/smtp_in.h"
#include "gateway/core/cfileman.h"
#include "test_util.h"

namespace rxtest {

constexpr const char kDomain[] = "fax.example.com";

using namespace testutil;

// Waits until a condition holds; the limit is only a safety net for a
// loaded machine (or Wine).
constexpr int kPatienceMs = 60000;
inline bool WaitFor(const std::function<bool()>& cond, int ms = kPatienceMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
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

// A blocking TCP client on 127.0.0.1. Reads wait for the server's bytes or
// its close; the time-out is a safety net.
class Client {
public:
    explicit Client(int port, uint32_t timeoutMs = kPatienceMs) {
        plat::NetStartup();
        m_sock = plat::CSocket(plat::TcpSocket());
        plat::Connect(m_sock.Get(), testutil::Loopback(port));
        plat::SetRecvTimeout(m_sock.Get(), timeoutMs);
    }
    ~Client() {
        m_sock.Close();
        plat::NetCleanup();
    }
    bool Send(const std::string& data) { return testutil::SendAll(m_sock.Get(), data); }
    // One line with its LF, or what came before the close or time-out.
    std::string Line() {
        std::string line;
        return testutil::RecvLine(m_sock.Get(), &line), line;
    }
    // Everything until the server closes; "<open>" appended when it did not.
    std::string ReadToEnd() {
        std::string out;
        char buf[4096];
        int r;
        while ((r = plat::Recv(m_sock.Get(), buf, sizeof(buf), 0)) > 0) out.append(buf, static_cast<size_t>(r));
        return r == 0 ? out : out + "<open>";
    }

private:
    plat::CSocket m_sock;
};

}  // namespace rxtest
