// The decoder's results kept in memory, for the decoder tests, its fuzz
// targets and its benchmark: every sink call as one line of a listing (the
// content of the body text and the attachments summed up), and the warnings
// apart.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gateway/mime/decode_sink.h"
#include "gateway/mime/md5.h"

namespace testsupport {

class CMemorySink : public mime::CDecodeSink {
public:
    // With list false, only the warnings are kept.
    explicit CMemorySink(bool list = true) : m_list(list) {}

    void EnvelopeLines(const std::string& lines) override {
        for (size_t at = 0; at < lines.size();) {
            size_t nl = lines.find('\n', at);
            if (nl == std::string::npos) nl = lines.size();
            Add("envelope " + Escape(lines.substr(at, nl - at)));
            at = nl + 1;
        }
    }
    bool BeginBodyText() override { return Begin("body"); }
    void EndBodyText() override { End("end body " + Summary()); }
    bool BeginAttachment(const mime::AttachmentInfo& info) override {
        return Begin("attachment \"" + Escape(info.listedName) + "\" ext \"" + info.extension + "\"" +
                     (info.binary ? " binary" : " text"));
    }
    void EndAttachment(mime::DigestResult digest) override {
        static const char* const kDigest[] = {"none", "match", "mismatch"};
        End("end attachment " + Summary() + " digest " + kDigest[static_cast<int>(digest)]);
    }
    void Write(const void* data, size_t length) override {
        m_content.append(static_cast<const char*>(data), length);
    }
    void DecodeWarning(const std::string& text) override {
        warnings.push_back(text);
        Add("warning " + Escape(text));
    }
    void DecodeStatus(const std::string& text) override { Add("status " + Escape(text)); }
    void ErrorReport(const std::string& text, int) override { Add("error " + Escape(text)); }
    void FragmentStoreRefused(const std::string& path) override { Add("refused " + path); }

    // Text of the body written so far (every piece).
    std::string body;
    std::string listing;
    std::vector<std::string> warnings;
    bool refuseOutputs = false;  // Begin... fails

private:
    void Add(const std::string& line) {
        if (m_list) listing += line + "\n";
    }
    bool Begin(const std::string& line) {
        Add(line);
        m_content.clear();
        m_isBody = line == "body";
        return !refuseOutputs;
    }
    void End(const std::string& line) {
        if (m_isBody) body += m_content;
        if (m_isBody && m_list) listing += "| " + Escape(m_content) + "\n";
        Add(line);
    }
    std::string Summary() {
        if (!m_list) return std::string();
        mime::CMd5 md5;
        md5.Update(m_content.data(), m_content.size());
        unsigned char d[16];
        md5.Final(d);
        char hex[33];
        for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", d[i]);
        return std::to_string(m_content.size()) + " bytes md5 " + hex;
    }
    // Line ends shown as \n followed by a line break, other control bytes
    // and bytes above 126 as \xHH.
    static std::string Escape(const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            char hex[8];
            if (c == '\n') {
                out += "\\n\n| ";
            } else if (c == '\\') {
                out += "\\\\";
            } else if (c < 0x20 || c > 0x7E) {
                std::snprintf(hex, sizeof(hex), "\\x%02x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
        return out;
    }

    bool m_list;
    bool m_isBody = false;
    std::string m_content;
};

}  // namespace testsupport
