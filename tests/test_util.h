// Helpers shared by the unit tests: a scratch folder and a settings store of
// their own for each test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/file.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace testutil {

inline std::string TempBase() {
    std::string t;
    if (plat::GetEnv("TMPDIR", &t) && !t.empty()) return t;
    if (plat::GetEnv("TEMP", &t) && !t.empty()) return t;
    return plat::kPathSep == '/' ? std::string("/tmp") : std::string("C:\\windows\\temp");
}

// Removes a folder tree (files and folders only, no links followed).
inline void RemoveTree(const std::string& path) {
    std::vector<plat::DirEntry> entries;
    if (plat::ListDirectory(path.c_str(), "*", &entries) == 0) {
        for (const plat::DirEntry& e : entries) {
            std::string p = path + plat::kPathSep + e.name;
            if (e.isDirectory) {
                RemoveTree(p);
            } else {
                plat::RemoveFile(p.c_str());
            }
        }
    }
    plat::RemoveDirectory(path.c_str());
}

// A fresh folder, removed again when the object goes.
class TempDir {
public:
    TempDir() {
        static std::atomic<int> counter{0};
        m_path = TempBase() + plat::kPathSep + "qlsmtp-test-" + std::to_string(plat::ProcessId()) + "-" +
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
    plat::CFile f;
    if (f.Open(path.c_str(), plat::kOpenRead) != 0) return std::string("<missing>");
    std::string out;
    char buf[4096];
    int n;
    while ((n = f.Read(buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

inline void WriteAll(const std::string& path, const std::string& data) {
    plat::CFile f;
    ASSERT_EQ(f.Open(path.c_str(), plat::kCreateTruncRW), 0) << path;
    ASSERT_EQ(f.Write(data.data(), static_cast<int>(data.size())), static_cast<int>(data.size()));
}

}  // namespace testutil
