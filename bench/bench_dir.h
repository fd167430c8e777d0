// The scratch folder of a benchmark: the one QLSMTP_BENCH_DIR names (kept,
// so that peers can read the inputs made there), else a new one under the
// system's temporary folder, removed at the end.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class CBenchDir {
public:
    explicit CBenchDir(const char* prefix) {
        const char* env = std::getenv("QLSMTP_BENCH_DIR");
        if (env && *env) {
            m_path = env;
        } else {
            m_path = std::filesystem::temp_directory_path() / (prefix + std::to_string(std::random_device()()));
            m_own = true;
        }
    }
    ~CBenchDir() {
        std::error_code ec;
        if (m_own) std::filesystem::remove_all(m_path, ec);
    }
    CBenchDir(const CBenchDir&) = delete;
    CBenchDir& operator=(const CBenchDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
    bool m_own = false;
};
