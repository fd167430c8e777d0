// File helpers of the tests, fuzz targets and benchmarks, through the
// platform layer and without a test framework.
#pragma once

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/system.h"

namespace testsupport {

// The folder for scratch files: TMPDIR, else TEMP, else the system's.
inline std::string TempBase() {
    std::string base;
    if (!plat::GetEnv("TMPDIR", &base) || base.empty())
        if (!plat::GetEnv("TEMP", &base) || base.empty()) base = plat::kPathSep == '/' ? "/tmp" : "C:\\windows\\temp";
    return base;
}

// Removes a folder tree (files and folders only, no links followed); with
// keepTop the folder itself stays, empty.
inline void RemoveTree(const std::string& path, bool keepTop = false) {
    std::vector<plat::DirEntry> entries;
    if (plat::ListDirectory(path.c_str(), "*", &entries) == 0) {
        for (const plat::DirEntry& e : entries) {
            std::string p = path + plat::kPathSep + e.name;
            if (e.isDirectory)
                RemoveTree(p);
            else
                plat::RemoveFile(p.c_str());
        }
    }
    if (!keepTop) plat::RemoveDirectory(path.c_str());
}

// The whole file; false when it cannot be opened.
inline bool ReadFile(const std::string& path, std::string* out) {
    plat::CFile f;
    out->clear();
    if (f.Open(path.c_str(), plat::kOpenRead) != 0) return false;
    char buf[65536];
    int n;
    while ((n = f.Read(buf, sizeof(buf))) > 0) out->append(buf, static_cast<size_t>(n));
    return true;
}

// Creates or truncates the file and writes data; false on any failure.
inline bool WriteFile(const std::string& path, const std::string& data) {
    plat::CFile f;
    return f.Open(path.c_str(), plat::kCreateTruncRW) == 0 &&
           f.Write(data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
}

}  // namespace testsupport
