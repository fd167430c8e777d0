// Decodes one message from the fuzzer's bytes as the hand-off does (the raw
// file read in text mode), with the results kept in memory. Fragments of
// message/partial go to a scratch store below TMP (in memory-backed /dev/shm
// where there is one), emptied after every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gateway/mime/decoder.h"
#include "platform/file.h"
#include "platform/system.h"
#include "tests/support/files.h"
#include "tests/support/memory_sink.h"

namespace {

std::string g_tmp;

std::string ScratchTmp() {
    g_tmp = plat::IsDirectory("/dev/shm") ? std::string("/dev/shm") : testsupport::TempBase();
    g_tmp += plat::kPathSep + std::string("qlsmtp-fuzz-decoder-") + std::to_string(plat::ProcessId());
    plat::MakeDirectory(g_tmp.c_str());
    plat::SetEnv("TMP", g_tmp.c_str());
    std::atexit([] { testsupport::RemoveTree(g_tmp); });
    return g_tmp;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string parts = ScratchTmp() + plat::kPathSep + "parts";
    std::string text;  // CR LF read as a newline
    text.reserve(size);
    for (size_t i = 0; i < size; ++i)
        if (data[i] != '\r' || i + 1 == size || data[i + 1] != '\n') text += static_cast<char>(data[i]);
    testsupport::CMemorySink sink(false);
    mime::CMimeDecoder decoder(sink.Callbacks());
    mime::PartStream stream(text.data(), text.size());
    decoder.DecodeMessage(stream, "text/plain", 0);
    if (plat::PathExists(parts.c_str())) testsupport::RemoveTree(parts);
    return 0;
}
