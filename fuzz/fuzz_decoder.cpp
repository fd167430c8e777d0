// Decodes one message from the fuzzer's bytes as the hand-off does: the raw
// file is read in text mode and the output lands in a scratch data directory
// that is emptied again after every input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/mime/decoder.h"
#include "tests/support/files.h"
#include "tests/support/scratch_handoff_files.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/textfile.h"

namespace {

std::string ScratchRoot() {
    std::string root = testsupport::TempBase() + plat::kPathSep + "qlsmtp-fuzz-decoder-" + std::to_string(plat::ProcessId());
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
    if (!testsupport::WriteFile(raw, std::string(reinterpret_cast<const char*>(data), size))) return 0;
    testsupport::CScratchFiles files(root, 50);
    testsupport::CNullReporter reporter;
    {
        plat::CTextStream in;
        if (in.Open(raw.c_str(), "r") == 0) {
            mime::PartStream stream(&in);
            mime::CMimeDecoder decoder(files, reporter);
            decoder.DecodeMessage(stream, "text/plain", 0);
        }
    }
    testsupport::RemoveTree(root + "OUT", true);
    testsupport::RemoveTree(root + "tmp", true);
    return 0;
}
