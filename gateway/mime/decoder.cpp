// The decoding driver: header blocks, envelope lines and the dispatch of each
// entity's body.
#include "gateway/mime/decoder.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "gateway/mime/transfer.h"

namespace mime {

namespace {

constexpr size_t kHeaderStep = 1000;
constexpr size_t kHeaderSlack = 100;
// Room for one recipient piece, its NUL included.
constexpr size_t kRecipientPiece = 252;

// Appends [value, value + length) with every control character but tab made
// a space: a line break (a lone CR included) in a header value must never
// start an envelope line of its own for a reader of the envelope.
void AppendEnvelopeValue(std::string& out, const char* value, size_t length) {
    size_t at = out.size();
    out.append(value, length);
    for (size_t i = at; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) out[i] = ' ';
    }
}

// Appends prefix, the value up to its line end (or the end of the block),
// and a newline.
void AddSingleLine(std::string& out, const char* prefix, const char* value) {
    const char* nl = std::strchr(value, '\n');
    out += prefix;
    AppendEnvelopeValue(out, value, nl ? static_cast<size_t>(nl - value) : std::strlen(value));
    out += '\n';
}

// Writes one "TO:" line per comma-separated piece of [start, end). The line
// breaks of a folded field become spaces like any other control character.
void AddRecipients(std::string& out, const char* start, const char* end) {
    while (start <= end) {
        const char* comma = static_cast<const char*>(std::memchr(start, ',', static_cast<size_t>(end - start)));
        const char* stop = comma ? comma : end;
        size_t length = static_cast<size_t>(stop - start);
        if (length > kRecipientPiece - 1) length = kRecipientPiece - 1;
        out += "TO:";
        AppendEnvelopeValue(out, start, length);
        out += '\n';
        if (!comma) break;
        start = comma + 1;
    }
}

// The end of a recipient value: the newline before the next field, found as
// the last newline ahead of the next colon; nullptr when there is none.
const char* RecipientEnd(const char* value) {
    const char* colon = std::strchr(value, ':');
    if (!colon) return nullptr;
    for (const char* q = colon; q > value;) {
        if (*--q == '\n') return q;
    }
    return nullptr;
}

class CLevel {
public:
    explicit CLevel(int& level) : m_level(level) { ++m_level; }
    ~CLevel() { --m_level; }
    CLevel(const CLevel&) = delete;
    CLevel& operator=(const CLevel&) = delete;

private:
    int& m_level;
};

}  // namespace

CMimeDecoder::CMimeDecoder(DecodeCallbacks callbacks, CFragmentStore* fragments)
    : m_sink(std::move(callbacks)),
      m_fragments(fragments ? fragments : &m_fileFragments),
      m_decodeNested([this](PartStream& stream, const char* defaultType, int appleDouble) {
          return DecodeMessage(stream, defaultType, appleDouble);
      }) {}

int CMimeDecoder::DecodeMessage(PartStream& stream, const char* defaultType, int appleDouble) {
    if (m_level >= kMaxNesting) {
        m_sink.DecodeWarning("ignoring part nested too deeply");
        stream.SkipPart();
        return 0;
    }
    CLevel level(m_level);

    HeaderFields fields;
    ReadHeaderBlock(stream, &fields);
    char status[40];
    std::snprintf(status, sizeof(status), "headers len : %zu", m_headerLength);
    m_sink.DecodeStatus(status);

    const char* type = fields.contentType;
    if (!type || !std::strchr(type, '/')) type = defaultType;
    ParamList params = SplitContentType(&type);

    if (CaseCompare(type, "message/rfc822") == 0) {
        if (fields.encoding != kEncodingNone)
            m_sink.DecodeWarning("ignoring invalid content encoding on message/rfc822");
        return DecodeMessage(stream, "text/plain", 0);
    }
    if (CaseCompare(type, "message/partial") == 0) {
        if (fields.encoding != kEncodingNone)
            m_sink.DecodeWarning("ignoring invalid content encoding on message/partial");
        return StorePartialFragment(stream, m_header.data(), params);
    }
    if (CaseCompareN(type, "message/", 8) == 0) {
        stream.SkipPart();
        return 0;
    }
    if (CaseCompareN(type, "multipart/", 10) == 0) {
        if (fields.encoding != kEncodingNone)
            m_sink.DecodeWarning("ignoring invalid content encoding on multipart");
        return DecodeMultipart(stream, type, params);
    }
    const bool isText = CaseCompareN(type, "text/", 5) == 0;
    const char* given = DispositionFileName(fields.disposition);
    if (!given) given = FindContentParam(params, "name");
    if (!appleDouble && isText && !given) return SaveBodyText(stream, fields.encoding);
    return SaveAttachment(stream, isText, given, fields.encoding, fields.md5);
}

const char* CMimeDecoder::ReadHeaderBlock(PartStream& stream, HeaderFields* fields) {
    if (m_header.size() < kHeaderStep) m_header.resize(kHeaderStep);
    size_t length = 0;
    m_header[length++] = '\n';
    for (;;) {
        char* line = m_header.data() + length;
        int n = stream.ReadLine(line, static_cast<int>(m_header.size() - length));
        if (n <= 0) break;
        if (m_header[length - 1] == '\n') {
            if (n == 1 && line[0] == '\n') break;  // the blank line ends the block
            int i = 0;
            while (i < n && line[i] != ':' && static_cast<unsigned char>(line[i]) >= 0x21 &&
                   static_cast<unsigned char>(line[i]) <= 0x7E)
                ++i;
            bool isField = i > 0 && i < n && line[i] == ':';
            if (!isField && (length == 1 || (line[0] != ' ' && line[0] != '\t'))) {
                stream.StreamPushBack(line, n);  // the body begins here
                break;
            }
        }
        length += static_cast<size_t>(n);
        if (m_header.size() - length < kHeaderSlack) {
            if (m_header.size() + kHeaderStep > kMaxHeaderBlock) {
                m_sink.DecodeWarning("header block too long; reading the rest as body");
                break;
            }
            m_header.resize(m_header.size() + kHeaderStep);
        }
    }
    m_header[length] = '\0';
    m_headerLength = length;
    ScanHeaderBlock(fields);
    return m_header.data();
}

// Walks the block's fields: the four content fields for the dispatch, and the
// From, Subject, To and Cc lines for the envelope.
void CMimeDecoder::ScanHeaderBlock(HeaderFields* fields) {
    *fields = HeaderFields();
    std::string envelope;
    const char* pendingTo = nullptr;
    const char* pendingCc = nullptr;
    bool subjectSeen = false;
    auto flushPending = [&](const char* lineStart) {
        if (pendingTo) AddRecipients(envelope, pendingTo, lineStart);
        if (pendingCc) AddRecipients(envelope, pendingCc, lineStart);
        pendingTo = pendingCc = nullptr;
    };

    const char* block = m_header.data();
    for (const char* nl = std::strchr(block, '\n'); nl; nl = std::strchr(nl + 1, '\n')) {
        const char* line = nl + 1;
        const char* value;
        switch (*line) {
            case 'F':
            case 'f':
                if (CaseCompareN(line + 1, "rom:", 4) != 0) break;
                flushPending(line);
                if ((value = SkipBlanksAndComments(line + 5))) AddSingleLine(envelope, "FROM:", value);
                break;
            case 'S':
            case 's':
                if (CaseCompareN(line + 1, "ubject:", 7) != 0) break;
                flushPending(line);
                subjectSeen = true;
                if ((value = SkipBlanksAndComments(line + 8))) AddSingleLine(envelope, "SUBJECT:", value);
                break;
            case 'T':
            case 't': {
                if (CaseCompareN(line + 1, "o:", 2) != 0) break;
                if (pendingCc) AddRecipients(envelope, pendingCc, line);
                pendingCc = nullptr;
                value = line + 3;
                if (subjectSeen) AddSingleLine(envelope, "TO:", value);
                const char* end = RecipientEnd(value);
                if (end) {
                    AddRecipients(envelope, value, end);
                    pendingTo = nullptr;
                } else {
                    pendingTo = value;
                }
                break;
            }
            case 'C':
            case 'c': {
                if (CaseCompareN(line + 1, "c:", 2) == 0) {
                    if (pendingTo) AddRecipients(envelope, pendingTo, line);
                    pendingTo = nullptr;
                    value = line + 3;
                    const char* end = RecipientEnd(value);
                    if (end) {
                        AddRecipients(envelope, value, end);
                        pendingCc = nullptr;
                    } else {
                        pendingCc = value;
                    }
                } else if (CaseCompareN(line + 1, "ontent-type:", 12) == 0) {
                    flushPending(line);
                    if ((value = SkipBlanksAndComments(line + 13))) fields->contentType = value;
                } else if (CaseCompareN(line + 1, "ontent-transfer-encoding:", 25) == 0) {
                    flushPending(line);
                    fields->encoding = TransferEncodingCode(line + 26);
                } else if (CaseCompareN(line + 1, "ontent-disposition:", 19) == 0) {
                    flushPending(line);
                    if ((value = SkipBlanksAndComments(line + 20))) fields->disposition = value;
                } else if (CaseCompareN(line + 1, "ontent-md5:", 11) == 0) {
                    flushPending(line);
                    if ((value = SkipBlanksAndComments(line + 12))) fields->md5 = value;
                }
                break;
            }
            default:
                break;
        }
    }
    if (!envelope.empty()) m_sink.EnvelopeLines(envelope);
}

}  // namespace mime
