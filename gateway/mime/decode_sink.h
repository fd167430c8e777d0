// Where the decoder's results go: the envelope lines of every header block,
// the body text, each attachment with the name the decoder gave it and the
// result of its digest check, and the warnings. Whoever fills in the
// callbacks decides where they are kept (the hand-off: files in OUT; tests
// and fuzzing: memory).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

#include "gateway/mime/decode_util.h"

namespace mime {

// The Content-MD5 check of one attachment.
enum class DigestResult { kNotGiven, kMatch, kMismatch };

// An attachment as the decoder has named it.
struct AttachmentInfo {
    std::string extension;   // from the given name: at most three harmless characters
    std::string listedName;  // the given name as it may stand in the attachment list
    bool binary = false;     // base64 content of a non-text type: kept byte for byte
};

// The decoder's outputs, as callbacks that whoever keeps the results fills
// in. One left empty does nothing (a Begin call then fails: the part is
// skipped), except removeWhenHandedOff, which then removes at once.
struct DecodeCallbacks {
    // The envelope lines ("FROM:", "SUBJECT:", "TO:") of one header block,
    // each ending in a newline.
    std::function<void(const std::string& lines)> envelopeLines;
    // Opens the body text for appending: the content that follows (write)
    // until endBodyText is added to it. False when it cannot be kept: the
    // part is skipped.
    std::function<bool()> beginBodyText;
    std::function<void()> endBodyText;
    // Opens a new attachment; false when it cannot be saved: the part is
    // skipped.
    std::function<bool(const AttachmentInfo& info)> beginAttachment;
    std::function<void(DigestResult digest)> endAttachment;
    // Decoded content of the open body text or attachment.
    std::function<void(const void* data, size_t length)> write;
    // As the reporter's DecodeWarning, DecodeStatus, ErrorReport and
    // FragmentStoreRefused.
    std::function<void(const std::string& text)> warning;
    std::function<void(const std::string& text)> status;
    std::function<void(const std::string& text, int error)> error;
    std::function<void(const std::string& path)> fragmentStoreRefused;
    // Where a message/partial store could not be written whole: the message
    // cannot be handed off as it is.
    std::function<void(const std::string& path, int error)> outputFailed;
    // A file (or, for a path ending in the separator, a folder) of the
    // message/partial store that the message no longer needs. The hand-off
    // removes it once the message is handed off, so that an attempt that
    // fails, or a crash, can decode the fragments again.
    std::function<void(const std::string& path)> removeWhenHandedOff;
};

// Removes a file of the message/partial store, or (for a path ending in the
// separator) its folder.
void RemoveFragmentStorePath(const std::string& path);

// The decoder's end of the callbacks: the reporter and byte output that the
// transfer decoders write to.
class CDecodeSink final : public CDecodeReporter, public CByteOutput {
public:
    explicit CDecodeSink(DecodeCallbacks callbacks) : m_out(std::move(callbacks)) {}

    void EnvelopeLines(const std::string& lines) {
        if (m_out.envelopeLines) m_out.envelopeLines(lines);
    }
    bool BeginBodyText() { return m_out.beginBodyText && m_out.beginBodyText(); }
    void EndBodyText() {
        if (m_out.endBodyText) m_out.endBodyText();
    }
    bool BeginAttachment(const AttachmentInfo& info) { return m_out.beginAttachment && m_out.beginAttachment(info); }
    void EndAttachment(DigestResult digest) {
        if (m_out.endAttachment) m_out.endAttachment(digest);
    }
    void Write(const void* data, size_t length) override {
        if (m_out.write) m_out.write(data, length);
    }
    void DecodeWarning(const std::string& text) override {
        if (m_out.warning) m_out.warning(text);
    }
    void DecodeStatus(const std::string& text) override {
        if (m_out.status) m_out.status(text);
    }
    void ErrorReport(const std::string& text, int error) override {
        if (m_out.error) m_out.error(text, error);
    }
    void FragmentStoreRefused(const std::string& path) override {
        if (m_out.fragmentStoreRefused) m_out.fragmentStoreRefused(path);
    }
    void OutputFailed(const std::string& path, int error) {
        if (m_out.outputFailed) m_out.outputFailed(path, error);
    }
    void RemoveWhenHandedOff(const std::string& path) {
        if (m_out.removeWhenHandedOff)
            m_out.removeWhenHandedOff(path);
        else
            RemoveFragmentStorePath(path);
    }

private:
    DecodeCallbacks m_out;
};

}  // namespace mime
