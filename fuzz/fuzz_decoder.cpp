// Decodes one message from the fuzzer's bytes as the hand-off does (the raw
// file read in text mode), in memory: the results and the message/partial
// fragments are kept in memory for this input only.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gateway/mime/decoder.h"
#include "tests/support/memory_fragments.h"
#include "tests/support/memory_sink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text;  // CR LF read as a newline
    text.reserve(size);
    for (size_t i = 0; i < size; ++i)
        if (data[i] != '\r' || i + 1 == size || data[i + 1] != '\n') text += static_cast<char>(data[i]);
    testsupport::CMemorySink sink(false);
    testsupport::CMemoryFragments fragments;
    mime::CMimeDecoder decoder(sink.Callbacks(), &fragments);
    mime::PartStream stream(text.data(), text.size());
    decoder.DecodeMessage(stream, "text/plain", 0);
    return 0;
}
