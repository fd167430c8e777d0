// Parsers of the header values the decoder cares about: Content-Type with its
// parameters, the Content-Disposition file name and the transfer encoding.
#include <cstring>

#include "gateway/mime/decoder.h"
#include "gateway/mime/transfer.h"

namespace mime {

namespace {

// Passes over a comment starting at '(' (nested, with backslash escapes);
// returns the position after it, or the end of the text.
const char* PassComment(const char* p) {
    int depth = 0;
    for (; *p; ++p) {
        if (*p == '\\') {
            if (p[1] == '\0') return p + 1;
            ++p;
        } else if (*p == '(') {
            ++depth;
        } else if (*p == ')') {
            if (--depth == 0) return p + 1;
        }
    }
    return p;
}

// Passes over a quoted string starting at '"'; nullptr when it is not closed.
const char* PassQuoted(const char* p) {
    for (++p; *p; ++p) {
        if (*p == '\\') {
            if (p[1] == '\0') return nullptr;
            ++p;
        } else if (*p == '"') {
            return p + 1;
        }
    }
    return nullptr;
}

// End of a header field: a newline not followed by a space or a tab.
inline bool IsFieldEnd(const char* p) { return *p == '\0' || (*p == '\n' && p[1] != ' ' && p[1] != '\t'); }

// Reads a parameter value at p (unquoted: up to white space or one of the
// stop characters; quoted: with escapes) into out. False when malformed.
bool ReadValue(const char* p, const char* stops, std::string* out) {
    out->clear();
    if (*p != '"') {
        while (*p && !IsBlank(static_cast<unsigned char>(*p)) && !std::strchr(stops, *p)) *out += *p++;
        return true;
    }
    for (++p; *p != '"'; ++p) {
        if (*p == '\0') return false;
        if (*p == '\\') {
            if (p[1] == '\0') return false;
            ++p;
        }
        *out += *p;
    }
    return true;
}

}  // namespace

const char* SkipBlanksAndComments(const char* p) {
    int depth = 0;
    for (;;) {
        char c = *p;
        if (c == '\0') return nullptr;
        if (c == '\n') {
            if (p[1] != ' ' && p[1] != '\t') return nullptr;
            ++p;
            continue;
        }
        if (depth > 0) {
            if (c == '\\') {
                if (p[1] == '\0') return nullptr;
                if (p[1] != '\n') ++p;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                --depth;
            }
            ++p;
            continue;
        }
        if (c == '(') {
            depth = 1;
            ++p;
        } else if (IsBlank(static_cast<unsigned char>(c))) {
            ++p;
        } else {
            return p;
        }
    }
}

ParamList CMimeDecoder::SplitContentType(const char** type) {
    // The field runs to the first newline that is not followed by white space.
    const char* value = *type;
    const char* end = value + (*value ? 1 : 0);
    for (;; ++end) {
        if (*end == '\0') break;
        if (*end == '\n' && !IsBlank(static_cast<unsigned char>(end[1]))) break;
    }
    size_t length = static_cast<size_t>(end - value);
    if (m_typeCopy.size() < length + 1) m_typeCopy.resize(length + 1 < 200 ? 200 : length + 1);
    char* copy = m_typeCopy.data();
    std::memcpy(copy, value, length);
    copy[length] = '\0';
    *type = copy;

    // Compact the type: no white space or comments, cut at ';'.
    char* src = copy;
    char* dst = copy;
    while (*src && *src != ';') {
        if (*src == '(' || IsBlank(static_cast<unsigned char>(*src))) {
            const char* next = SkipBlanksAndComments(src);
            if (!next) {
                src += std::strlen(src);
                break;
            }
            src = const_cast<char*>(next);
            continue;
        }
        *dst++ = *src++;
    }
    bool hasParams = *src == ';';
    char* p = src + (hasParams ? 1 : 0);
    *dst = '\0';
    if (!hasParams) return nullptr;

    m_params.clear();
    for (;;) {
        const char* start = SkipBlanksAndComments(p);
        if (!start) break;
        p = const_cast<char*>(start);
        m_params.push_back(start);
        bool last = false;
        while (*p && *p != ';') {
            if (*p == '"') {
                const char* after = PassQuoted(p);
                if (!after) {
                    last = true;
                    break;
                }
                p = const_cast<char*>(after);
            } else if (*p == '(') {
                const char* after = PassComment(p);
                std::memset(p, ' ', static_cast<size_t>(after - p));
                p = const_cast<char*>(after);
            } else {
                ++p;
            }
        }
        if (last || *p != ';') break;
        *p++ = '\0';
    }
    m_params.push_back(nullptr);
    return m_params.data();
}

const char* CMimeDecoder::FindContentParam(ParamList params, const char* name) {
    if (!params) return nullptr;
    size_t n = std::strlen(name);
    const char* entry = nullptr;
    for (ParamList e = params; *e; ++e) {
        if (CaseCompareN(*e, name, n) == 0 && ((*e)[n] == '=' || IsBlank(static_cast<unsigned char>((*e)[n])))) {
            entry = *e;
            break;
        }
    }
    if (!entry) return nullptr;
    const char* p = entry + n;
    while (IsBlank(static_cast<unsigned char>(*p))) ++p;
    if (*p != '=') return nullptr;
    ++p;
    while (IsBlank(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') return nullptr;
    if (!ReadValue(p, "", &m_paramValue)) return nullptr;
    return m_paramValue.c_str();
}

const char* CMimeDecoder::DispositionFileName(const char* value) {
    if (!value) return nullptr;
    const char* p = value;
    // The value ends with its field; later fields are not part of it.
    while (!IsFieldEnd(p)) {
        if (*p == '"') {
            p = PassQuoted(p);
            if (!p) return nullptr;
            continue;
        }
        if (*p == '(') {
            p = PassComment(p);
            continue;
        }
        if (*p != ';') {
            ++p;
            continue;
        }
        const char* q = SkipBlanksAndComments(p + 1);
        if (!q) return nullptr;
        if (CaseCompareN(q, "filename", 8) == 0 &&
            (q[8] == '=' || q[8] == '(' || IsBlank(static_cast<unsigned char>(q[8])))) {
            q = SkipBlanksAndComments(q + 8);
            if (!q) return nullptr;
            if (*q == '=') {
                q = SkipBlanksAndComments(q + 1);
                if (!q) return nullptr;
                if (!ReadValue(q, "(", &m_fileNameValue)) return nullptr;
                return m_fileNameValue.c_str();
            }
        }
        p = q;
    }
    return nullptr;
}

int CMimeDecoder::TransferEncodingCode(const char* value) {
    const char* p = value ? SkipBlanksAndComments(value) : nullptr;
    if (!p) return kEncodingNone;
    auto followedBy = [](const char* at, const char* word, size_t n) {
        if (CaseCompareN(at, word, n) != 0) return false;
        char next = at[n];
        return next == '\0' || next == '(' || IsBlank(static_cast<unsigned char>(next));
    };
    switch (*p) {
        case '7':
        case '8':
            if (followedBy(p + 1, "bit", 3)) return kEncodingNone;
            break;
        case 'B':
        case 'b':
            if (followedBy(p + 1, "ase64", 5)) return kEncodingBase64;
            if (followedBy(p + 1, "inary", 5)) return kEncodingNone;
            break;
        case 'Q':
        case 'q':
            if (followedBy(p + 1, "uoted-printable", 15)) return kEncodingQuotedPrintable;
            break;
        default:
            break;
    }
    m_sink.DecodeWarning("ignoring unknown content transfer encoding\n");
    return kEncodingNone;
}

}  // namespace mime
