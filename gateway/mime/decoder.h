// The MIME decoder: reads the header block of each entity, gives the sender,
// subject and recipient lines to the sink, and dispatches the body by its
// content type to the body text, an attachment, a multipart split or the
// message/partial store. One object decodes one message at a time; its
// buffers only grow and are reused for every entity.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "gateway/mime/decode_sink.h"
#include "gateway/mime/fragment_store.h"
#include "gateway/mime/part_stream.h"

namespace mime {

// A null-terminated list of "name=value" parameter texts.
using ParamList = const char* const*;

// Entities nested deeper than this are skipped.
constexpr int kMaxNesting = 64;
// Bound of one header block; the rest of the headers is read as body.
constexpr size_t kMaxHeaderBlock = 1 << 20;

struct HeaderFields {
    const char* contentType = nullptr;
    int encoding = 0;
    const char* disposition = nullptr;
    const char* md5 = nullptr;
};

class CMimeDecoder {
public:
    // fragments: where message/partial fragments wait; null for files below
    // TMP.
    explicit CMimeDecoder(DecodeCallbacks callbacks, CFragmentStore* fragments = nullptr);
    CMimeDecoder(const CMimeDecoder&) = delete;
    CMimeDecoder& operator=(const CMimeDecoder&) = delete;

    // Decodes one entity and its body: 0 when handled, 1 when the sink could
    // not take its output. appleDouble is set for the entities directly
    // inside a multipart/appledouble body.
    int DecodeMessage(PartStream& stream, const char* defaultType, int appleDouble);

    // Reads the header block (a newline, then the header lines) and finds the
    // fields; also gives the envelope lines to the sink. The results point
    // into the block, valid until the next block is read.
    const char* ReadHeaderBlock(PartStream& stream, HeaderFields* fields);
    size_t HeaderLength() const { return m_headerLength; }
    // Replaces *type by its compacted form; the parameter list, or nullptr
    // when the value has no ';'. Valid until the next call.
    ParamList SplitContentType(const char** type);
    // Value of the named parameter, or nullptr. Valid until the next call.
    const char* FindContentParam(ParamList params, const char* name);
    // The filename parameter of a Content-Disposition value, or nullptr.
    const char* DispositionFileName(const char* value);
    int TransferEncodingCode(const char* value);

    int DecodeMultipart(PartStream& stream, const char* type, ParamList params);
    int StorePartialFragment(PartStream& stream, const char* headerBlock, ParamList params);
    int SaveBodyText(PartStream& stream, int code);
    // givenName is the name the message gives the part, or nullptr.
    int SaveAttachment(PartStream& stream, bool isText, const char* givenName, int code, const char* md5);

private:
    void ScanHeaderBlock(HeaderFields* fields);
    void RebuildPartialHeaders(PartStream& stream, const char* headerBlock, CByteOutput& out);

    CDecodeSink m_sink;
    CFileFragmentStore m_fileFragments;
    CFragmentStore* m_fragments;
    // How the containers (a multipart body, joined fragments) hand each
    // entity they hold back to DecodeMessage.
    std::function<int(PartStream& stream, const char* defaultType, int appleDouble)> m_decodeNested;
    std::vector<char> m_header;
    size_t m_headerLength = 0;
    std::vector<char> m_typeCopy;
    std::vector<const char*> m_params;
    std::string m_paramValue;
    std::string m_fileNameValue;
    int m_level = 0;
};

// Advances over white space and comments within one header field; nullptr
// at the end of the field or of the text.
const char* SkipBlanksAndComments(const char* p);

bool IsReservedDeviceName(const char* name);
// Extension of an attachment file from the name the message gives it.
std::string AttachmentExtension(const char* givenName);
// The given name as it may stand in an attachment-list line.
std::string ListedName(const char* givenName);

}  // namespace mime
