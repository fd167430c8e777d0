// Replays fuzz inputs without libFuzzer: every file named on the command
// line, and every file in a folder named there, goes to the target once.
// The test builds link it with each target, so a past finding stays fixed
// under the sanitizers too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/support/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Defined by the targets that need it.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<plat::DirEntry> entries;
        std::vector<std::string> paths;
        if (!plat::IsDirectory(argv[i])) paths.push_back(argv[i]);
        plat::ListDirectory(argv[i], "*", &entries);
        for (const plat::DirEntry& e : entries)
            if (!e.isDirectory) paths.push_back(std::string(argv[i]) + plat::kPathSep + e.name);
        for (const std::string& path : paths) {
            std::string data;
            if (!testsupport::ReadFile(path, &data)) return std::fprintf(stderr, "cannot read %s\n", path.c_str()), 1;
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
            ++replayed;
        }
    }
    std::printf("%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
