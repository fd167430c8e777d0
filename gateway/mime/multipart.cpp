// Container entities: multipart bodies split along their boundary, and
// message/partial fragments stored until all have arrived, then joined and
// decoded as one message.
#include <climits>
#include <cstring>

#include "gateway/mime/decoder.h"
#include "gateway/mime/transfer.h"
#include "platform/file.h"
#include "platform/textfile.h"

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

// Copies one file into an open output, both in text mode.
bool AppendFile(const std::string& path, plat::CTextStream& out, int* error) {
    plat::CTextStream in;
    *error = in.Open(path.c_str(), "r");
    if (*error != 0) return false;
    char buffer[16384];
    int n;
    while ((n = in.Read(buffer, sizeof(buffer))) > 0) out.Write(buffer, n);
    return true;
}

// A fragment file as the output of the copy; a failed write stays marked on
// the file.
class CFileOutput : public CByteOutput {
public:
    explicit CFileOutput(plat::CTextStream& file) : m_file(file) {}
    void Write(const void* data, size_t length) override { m_file.Write(data, static_cast<int>(length)); }

private:
    plat::CTextStream& m_file;
};

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
    std::string dir;
    if (!PartialDirectory(id.c_str(), &dir, m_sink)) return reject(nullptr);

    int number = 0;
    value = FindContentParam(params, "number");
    if (!value || !ParseNumber(value, &number)) return reject("partial message doesn't have number parameter");

    int total = 0;
    const std::string countPath = dir + "CT";
    value = FindContentParam(params, "total");
    if (value) {
        if (!ParseNumber(value, &total) || total <= 0) return reject("partial message has invalid number of parts");
        plat::CTextStream count;
        int error = count.Open(countPath.c_str(), "w");
        if (error != 0) {
            m_sink.ErrorReport(countPath, error);
            return reject(nullptr);
        }
        std::string line = std::to_string(total) + "\n";
        count.Write(line.data(), static_cast<int>(line.size()));
    } else {
        plat::CTextStream count;
        char line[kFragmentLine];
        if (count.Open(countPath.c_str(), "r") == 0 && count.GetS(line, sizeof(line))) {
            if (!ParseNumber(line, &total) || total < 0) total = 0;
        }
    }
    if (number <= 0 || (total > 0 && number > total)) return reject("partial message has invalid number");

    std::string status = "Saving part " + std::to_string(number) + " ";
    if (total > 0) status += "of " + std::to_string(total) + " ";
    status += id;
    m_sink.DecodeStatus(status);

    const std::string fragmentPath = dir + std::to_string(number);
    {
        plat::CTextStream fragment;
        int error = fragment.Open(fragmentPath.c_str(), "w");
        if (error != 0) {
            m_sink.ErrorReport(fragmentPath, error);
            m_sink.OutputFailed(fragmentPath, error);
            return reject(nullptr);
        }
        if (number == 1) RebuildPartialHeaders(stream, headerBlock, fragment);
        CFileOutput output(fragment);
        CopyPart(stream, output, nullptr);
        if (fragment.Error() || fragment.Close() != 0) {  // a fragment cut short must not be joined
            m_sink.ErrorReport(fragmentPath, fragment.LastError());
            m_sink.OutputFailed(fragmentPath, fragment.LastError());
            return 1;
        }
    }
    if (total <= 0) return 0;
    for (int n = total; n >= 1; --n) {
        plat::CTextStream probe;
        if (probe.Open((dir + std::to_string(n)).c_str(), "r") != 0) return 0;
    }
    return JoinFragments(dir, total);
}

// The headers of the whole message: the enclosing fields except the content
// fields and Message-ID, then the fragment's own content fields and
// Message-ID, then the blank line.
void CMimeDecoder::RebuildPartialHeaders(PartStream& stream, const char* headerBlock, plat::CTextStream& out) {
    bool keep = false;
    for (const char* line = headerBlock + (*headerBlock == '\n' ? 1 : 0); *line;) {
        const char* nl = std::strchr(line, '\n');
        const char* next = nl ? nl + 1 : line + std::strlen(line);
        if (*line != ' ' && *line != '\t') keep = !IsContentOrMessageId(line);
        if (keep) out.Write(line, static_cast<int>(next - line));
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
                out.PutC('\n');
                return;
            }
            if (buffer[0] != ' ' && buffer[0] != '\t') keep = IsContentOrMessageId(buffer);
        }
        if (keep) out.Write(buffer, n);
        atLineStart = buffer[n - 1] == '\n';
    }
}

int CMimeDecoder::JoinFragments(const std::string& dir, int total) {
    const std::string fullPath = dir + "FULL";
    {
        plat::CTextStream full;
        int error = full.Open(fullPath.c_str(), "w");
        if (error != 0) {
            m_sink.ErrorReport(fullPath, error);
            m_sink.OutputFailed(fullPath, error);
            return 1;
        }
        for (int n = 1; n <= total; ++n) {
            const std::string fragmentPath = dir + std::to_string(n);
            if (!AppendFile(fragmentPath, full, &error)) {
                m_sink.ErrorReport(fragmentPath, error);
                return 1;
            }
        }
        if (full.Close() != 0) {
            m_sink.ErrorReport(fullPath, full.LastError());
            m_sink.OutputFailed(fullPath, full.LastError());
            return 1;
        }
    }
    {
        plat::CTextStream full;
        int error = full.Open(fullPath.c_str(), "r");
        if (error != 0) {
            m_sink.ErrorReport(fullPath, error);
            return 1;
        }
        PartStream joined(&full);
        m_decodeNested(joined, "text/plain", 0);
    }
    for (int n = 1; n <= total; ++n) m_sink.RemoveWhenHandedOff(dir + std::to_string(n));
    m_sink.RemoveWhenHandedOff(fullPath);
    m_sink.RemoveWhenHandedOff(dir + "CT");
    m_sink.RemoveWhenHandedOff(dir);
    return 0;
}

}  // namespace mime
