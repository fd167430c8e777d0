// The decoder's results in memory, for the decoder tests, its fuzz targets
// and its benchmark: a listing of the sink calls (the body text in full, each
// attachment summed up by size and MD5), and the warnings apart.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "gateway/mime/decode_sink.h"
#include "gateway/mime/md5.h"

namespace testsupport {

class CMemorySink {
public:
    // With list false, only the body text and the warnings are kept.
    explicit CMemorySink(bool list = true) : m_list(list) {}

    // The decoder's outputs, kept here.
    mime::DecodeCallbacks Callbacks() {
        static const char* const kDigest[] = {"none", "match", "mismatch"};
        return {
            .envelopeLines =
                [this](const std::string& lines) {
                    for (size_t at = 0, nl; m_list && at < lines.size(); at = nl + 1)
                        nl = lines.find('\n', at), Add("envelope " + Escape(lines.substr(at, nl - at)));
                },
            .beginBodyText = [this] { return Begin("body"); },
            .endBodyText =
                [this] {
                    body += m_content;
                    if (m_list) Add("| " + Escape(m_content) + "\nend body " + Summary());
                },
            .beginAttachment =
                [this](const mime::AttachmentInfo& info) {
                    return Begin(!m_list ? "" : "attachment \"" + Escape(info.listedName) + "\" ext \"" +
                                                    info.extension + "\"" + (info.binary ? " binary" : " text"));
                },
            .endAttachment =
                [this](mime::DigestResult digest) {
                    if (m_list) Add("end attachment " + Summary() + " digest " + kDigest[static_cast<int>(digest)]);
                },
            .write = [this](const void* data, size_t size) { m_content.append(static_cast<const char*>(data), size); },
            .warning =
                [this](const std::string& text) {
                    warnings.push_back(text);
                    if (m_list) Add("warning " + Escape(text));
                },
            .status = [this](const std::string& text) { if (m_list) Add("status " + Escape(text)); },
            .error = [this](const std::string& text, int) { if (m_list) Add("error " + Escape(text)); },
            .fragmentStoreRefused = [this](const std::string& path) { Add("refused " + path); },
            .outputFailed = nullptr,
            .removeWhenHandedOff = nullptr,
        };
    }

    std::string body;  // every piece of body text
    std::string listing;
    std::vector<std::string> warnings;
    bool refuseOutputs = false;  // the Begin calls fail

private:
    void Add(const std::string& line) { listing += m_list ? line + "\n" : ""; }
    bool Begin(const std::string& line) { return Add(line), m_content.clear(), !refuseOutputs; }
    std::string Summary() {
        mime::CMd5 md5;
        md5.Update(m_content.data(), m_content.size());
        unsigned char d[16];
        md5.Final(d);
        std::string text = std::to_string(m_content.size()) + " bytes md5 ";
        for (unsigned char b : d) text += "0123456789abcdef"[b >> 4] + std::string(1, "0123456789abcdef"[b & 15]);
        return text;
    }
    // A newline as \n and a line break, control bytes and bytes above 126 as \xHH.
    static std::string Escape(const std::string& s) {
        std::string out;
        char hex[8];
        for (unsigned char c : s) {
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += c == '\n' ? "\\n\n| " : c == '\\' ? "\\\\" : c < 0x20 || c > 0x7E ? hex : std::string(1, c);
        }
        return out;
    }

    bool m_list;
    std::string m_content;
};

}  // namespace testsupport
