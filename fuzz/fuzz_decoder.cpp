// Decodes one message from the fuzzer's bytes as the hand-off does: the raw
// file is read in text mode and the output lands in a scratch data directory
// that is emptied again after every input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/mime/decoder.h"
#include "tests/support/scratch_handoff_files.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/textfile.h"

namespace {

class CNullReporter : public mime::CDecodeReporter {
public:
    void DecodeWarning(const std::string&) override {}
    void DecodeStatus(const std::string&) override {}
    void ErrorReport(const std::string&, int) override {}
};

void RemoveTree(const std::string& path, bool keepTop) {
    std::vector<plat::DirEntry> entries;
    plat::ListDirectory(path.c_str(), "*", &entries);
    for (const plat::DirEntry& e : entries) {
        std::string p = path + plat::kPathSep + e.name;
        if (e.isDirectory)
            RemoveTree(p, false);
        else
            plat::RemoveFile(p.c_str());
    }
    if (!keepTop) plat::RemoveDirectory(path.c_str());
}

std::string ScratchRoot() {
    std::string base;
    if (!plat::GetEnv("TMPDIR", &base) || base.empty()) base = plat::kPathSep == '/' ? "/tmp" : "C:\\windows\\temp";
    std::string root = base + plat::kPathSep + "qlsmtp-fuzz-decoder-" + std::to_string(plat::ProcessId());
    plat::MakeDirectory(root.c_str());
    plat::MakeDirectory((root + plat::kPathSep + "OUT").c_str());
    plat::MakeDirectory((root + plat::kPathSep + "tmp").c_str());
    // Fragment directories of message/partial go below the scratch folder too.
    plat::SetEnv("TMP", (root + plat::kPathSep + "tmp").c_str());
    return root + plat::kPathSep;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string root = ScratchRoot();
    const std::string raw = root + "raw.qmx";
    {
        plat::CFile f;
        if (f.Open(raw.c_str(), plat::kCreateTruncRW) != 0) return 0;
        f.Write(data, static_cast<int>(size));
    }
    testsupport::CScratchFiles files(root, 50);
    CNullReporter reporter;
    {
        plat::CTextStream in;
        if (in.Open(raw.c_str(), "r") == 0) {
            mime::PartStream stream(&in);
            mime::CMimeDecoder decoder(files, reporter);
            decoder.DecodeMessage(stream, "text/plain", 0);
        }
    }
    RemoveTree(root + "OUT", true);
    RemoveTree(root + "tmp", true);
    return 0;
}
