// Feeds the fuzzer's bytes to the header reader and the parsers of header
// values: the header block with its field walk, Content-Type splitting and
// parameter lookup, the disposition file name, the transfer encoding and the
// names derived from a given file name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gateway/mime/decoder.h"
#include "tests/support/memory_sink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    testsupport::CMemorySink sink(false);
    mime::CMimeDecoder decoder(sink.Callbacks());

    mime::PartStream stream(data, size);
    mime::HeaderFields fields;
    decoder.ReadHeaderBlock(stream, &fields);
    std::string type = fields.contentType ? fields.contentType : "text/plain";
    std::string disposition = fields.disposition ? fields.disposition : "";
    const char* t = type.c_str();
    mime::ParamList params = decoder.SplitContentType(&t);
    for (const char* name : {"boundary", "name", "charset", "id", "number", "total"}) {
        const char* v = decoder.FindContentParam(params, name);
        if (v) {
            mime::AttachmentExtension(v);
            mime::ListedName(v);
        }
    }
    if (const char* v = decoder.DispositionFileName(disposition.c_str())) mime::AttachmentExtension(v);

    // The raw bytes as a header value of each kind.
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    decoder.TransferEncodingCode(text.c_str());
    decoder.DispositionFileName(text.c_str());
    mime::SkipBlanksAndComments(text.c_str());
    const char* raw = text.c_str();
    decoder.FindContentParam(decoder.SplitContentType(&raw), "boundary");
    mime::IsReservedDeviceName(text.c_str());
    while (stream.StreamGetByte() >= 0) continue;
    return 0;
}
