// Container entities: multipart bodies split along their boundary, and
// message/partial fragments stored until all have arrived, then joined and
// decoded as one message.
#include <climits>
#include <cstring>

#include "gateway/mime/decoder.h"
#include "gateway/mime/transfer.h"

namespace mime {

namespace {

constexpr int kFragmentLine = 1024;

// Leading white space, an optional sign and the leading decimal digits; no
// digits give 0. False when the number does not fit an int.
bool ParseNumber(const char* text, int* value) {
    while (IsBlank(static_cast<unsigned char>(*text))) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    long long v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        v = v * 10 + (*text - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    *value = static_cast<int>(v);
    return true;
}

bool IsContentOrMessageId(const char* line) {
    return CaseCompareN(line, "content-", 8) == 0 || CaseCompareN(line, "message-id:", 11) == 0;
}

}  // namespace

int CMimeDecoder::DecodeMultipart(PartStream& stream, const char* type, ParamList params) {
    const char* partType = CaseCompare(type, "multipart/digest") == 0 ? "message/rfc822" : "text/plain";
    const int appleDouble = CaseCompare(type, "multipart/appledouble") == 0 ? 1 : 0;
    const char* boundary = FindContentParam(params, "boundary");
    if (!boundary) {
        m_sink.DecodeWarning("multipart message has no boundary parameter");
        boundary = "";
    }
    stream.PushBoundary(boundary);
    // A delimiter on the very first line of the body follows a newline too.
    stream.StreamPushBack("\n", 1);
    stream.SkipPart();  // the preamble
    while (stream.ReadDelimiter() == 0) m_decodeNested(stream, partType, appleDouble);
    stream.SkipPart();  // the epilogue
    return 0;
}

int CMimeDecoder::StorePartialFragment(PartStream& stream, const char* headerBlock, ParamList params) {
    auto reject = [&](const char* warning) {
        if (warning) m_sink.DecodeWarning(warning);
        stream.SkipPart();
        return 1;
    };
    const char* value = FindContentParam(params, "id");
    if (!value) return reject("partial message has no id parameter");
    const std::string id = value;
    std::string key;
    if (!m_fragments->Open(id, &key, m_sink)) return reject(nullptr);

    int number = 0;
    value = FindContentParam(params, "number");
    if (!value || !ParseNumber(value, &number)) return reject("partial message doesn't have number parameter");

    int total = 0;
    value = FindContentParam(params, "total");
    if (value) {
        if (!ParseNumber(value, &total) || total <= 0) return reject("partial message has invalid number of parts");
        if (!m_fragments->SetTotal(key, total, m_sink)) return reject(nullptr);
    } else {
        const std::string line = m_fragments->TotalLine(key);
        if (!line.empty() && (!ParseNumber(line.c_str(), &total) || total < 0)) total = 0;
    }
    if (number <= 0 || (total > 0 && number > total)) return reject("partial message has invalid number");

    std::string status = "Saving part " + std::to_string(number) + " ";
    if (total > 0) status += "of " + std::to_string(total) + " ";
    status += id;
    m_sink.DecodeStatus(status);

    const int written = m_fragments->WriteFragment(
        key, number,
        [&](CByteOutput& out) {
            if (number == 1) RebuildPartialHeaders(stream, headerBlock, out);
            CopyPart(stream, out, nullptr);
        },
        m_sink);
    if (written == 1) return reject(nullptr);
    if (written != 0) return 1;
    if (total <= 0) return 0;
    for (int n = total; n >= 1; --n)
        if (!m_fragments->HasFragment(key, n)) return 0;
    return m_fragments->Join(key, total, [this](PartStream& joined) { m_decodeNested(joined, "text/plain", 0); },
                             m_sink);
}

// The headers of the whole message: the enclosing fields except the content
// fields and Message-ID, then the fragment's own content fields and
// Message-ID, then the blank line.
void CMimeDecoder::RebuildPartialHeaders(PartStream& stream, const char* headerBlock, CByteOutput& out) {
    bool keep = false;
    for (const char* line = headerBlock + (*headerBlock == '\n' ? 1 : 0); *line;) {
        const char* nl = std::strchr(line, '\n');
        const char* next = nl ? nl + 1 : line + std::strlen(line);
        if (*line != ' ' && *line != '\t') keep = !IsContentOrMessageId(line);
        if (keep) out.Write(line, static_cast<size_t>(next - line));
        line = next;
    }

    char buffer[kFragmentLine];
    bool atLineStart = true;
    keep = false;
    for (;;) {
        int n = stream.ReadLine(buffer, sizeof(buffer));
        if (n <= 0) return;
        if (atLineStart) {
            if (n == 1 && buffer[0] == '\n') {
                out.Write("\n", 1);
                return;
            }
            if (buffer[0] != ' ' && buffer[0] != '\t') keep = IsContentOrMessageId(buffer);
        }
        if (keep) out.Write(buffer, static_cast<size_t>(n));
        atLineStart = buffer[n - 1] == '\n';
    }
}

}  // namespace mime
