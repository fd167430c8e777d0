// Helpers shared by the unit tests: scratch folders and settings, whole-file
// reads and writes, environment overrides and loopback addresses.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/net.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "tests/support/files.h"

namespace testutil {

using testsupport::RemoveTree;

// A fresh folder, removed again when the object goes.
class TempDir {
public:
    TempDir() {
        static std::atomic<int> counter{0};
        m_path = testsupport::TempBase() + plat::kPathSep + "qlsmtp-test-" + std::to_string(plat::ProcessId()) + "-" +
                 std::to_string(counter++);
        RemoveTree(m_path);
        plat::MakeDirectory(m_path.c_str());
    }
    ~TempDir() { RemoveTree(m_path); }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + plat::kPathSep + name; }

private:
    std::string m_path;
};

// Sets an environment variable (nullptr: removes it) until the object goes.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name), m_had(plat::GetEnv(name, &m_old)) {
        plat::SetEnv(name, value);
    }
    ~ScopedEnv() { plat::SetEnv(m_name.c_str(), m_had ? m_old.c_str() : nullptr); }

private:
    std::string m_name, m_old;
    bool m_had;
};

// On Linux, points the settings store at a file in a fresh folder. On
// Windows the real registry is used; the key is removed before and after.
class ScratchRegistry {
public:
    explicit ScratchRegistry(const char* key) : m_key(key) {
        if (plat::kPathSep == '/') plat::SetEnv("QLSMTP_REGISTRY", (m_dir / "registry.reg").c_str());
        plat::CRegKey::DeleteKey(m_key.c_str());
    }
    ~ScratchRegistry() { plat::CRegKey::DeleteKey(m_key.c_str()); }
    std::string file() const { return m_dir / "registry.reg"; }

private:
    TempDir m_dir;
    std::string m_key;
};

inline std::string ReadAll(const std::string& path) {
    std::string out;
    return testsupport::ReadFile(path, &out) ? out : std::string("<missing>");
}

inline void WriteAll(const std::string& path, const std::string& data) {
    ASSERT_TRUE(testsupport::WriteFile(path, data)) << path;
}

// Names in a folder matching a pattern, sorted.
inline std::vector<std::string> List(const std::string& folder, const char* pattern = "*") {
    std::vector<plat::DirEntry> entries;
    plat::ListDirectory(folder.c_str(), pattern, &entries);
    std::vector<std::string> names;
    for (const plat::DirEntry& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    return names;
}

// Text as a text-mode file stores it.
inline std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

inline bool SendAll(plat::SocketHandle s, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        int n = plat::Send(s, data.data() + done, static_cast<int>(data.size() - done), 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// One line with its LF; false at close or time-out before a LF.
inline bool RecvLine(plat::SocketHandle s, std::string* line) {
    line->clear();
    for (char c; plat::Recv(s, &c, 1, 0) == 1;)
        if (line->push_back(c), c == '\n') return true;
    return false;
}

inline plat::SockAddrIn Loopback(int port, const char* address = "127.0.0.1") {
    return {.family = 2, .port = plat::HostToNet16(uint16_t(port)), .addr = plat::InetAddr(address), .zero = {}};
}

}  // namespace testutil
