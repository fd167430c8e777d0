// Where decoded leaf entities go: plain text to the body text, everything
// else to an attachment with the names derived from its given name.
#include <cstring>

#include "gateway/mime/decoder.h"
#include "gateway/mime/transfer.h"
#include "platform/file.h"
#include "platform/system.h"

namespace mime {

int CMimeDecoder::SaveBodyText(PartStream& stream, int code) {
    if (!m_sink.BeginBodyText()) {
        stream.SkipPart();
        return 1;
    }
    DecodeBody(stream, m_sink, code, nullptr, true, m_sink);
    m_sink.EndBodyText();
    return 0;
}

int CMimeDecoder::SaveAttachment(PartStream& stream, bool isText, const char* given, int code, const char* md5) {
    AttachmentInfo info;
    const std::string givenName = given ? given : "";
    info.extension = AttachmentExtension(givenName.c_str());
    info.listedName = ListedName(givenName.c_str());
    info.binary = !isText && code == kEncodingBase64;
    if (!m_sink.BeginAttachment(info)) {
        stream.SkipPart();
        return 1;
    }
    std::string digest;
    DecodeBody(stream, m_sink, code, &digest, isText, m_sink);
    m_sink.EndAttachment(!md5 ? DigestResult::kNotGiven
                              : DigestMatches(digest, md5) ? DigestResult::kMatch : DigestResult::kMismatch);
    return 0;
}

std::string AttachmentExtension(const char* givenName) {
    std::string ext;
    const char* dot = std::strchr(givenName, '.');
    if (!dot) return ext;
    // Only harmless characters: the extension becomes part of a file name.
    for (const char* p = dot + 1; *p && p < dot + 4; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (IsAsciiAlnum(c) || c == '-' || c == '_') ext += static_cast<char>(c);
    }
    return ext;
}

std::string ListedName(const char* givenName) {
    std::string name = givenName;
    for (char& c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == ':' || c == '<' || c == '>') c = '_';
    }
    return name;
}

bool IsReservedDeviceName(const char* name) {
    static const char* const kThree[] = {"aux", "con", "nul", "prn"};
    static const char* const kFour[] = {"com1", "com2", "com3", "com4", "lpt1", "lpt2", "lpt3"};
    size_t n = std::strlen(name);
    if (n == 3) {
        for (const char* r : kThree)
            if (CaseCompare(name, r) == 0) return true;
    } else if (n == 4) {
        for (const char* r : kFour)
            if (CaseCompare(name, r) == 0) return true;
    }
    return false;
}

}  // namespace mime
