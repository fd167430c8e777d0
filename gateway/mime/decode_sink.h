// Where the decoder's results go: the envelope lines of every header block,
// the body text, each attachment with the name the decoder gave it and the
// result of its digest check, and the warnings. The sink decides where they
// are kept (the hand-off: files in OUT; tests and fuzzing: memory).
#pragma once

#include <cstddef>
#include <string>

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

class CDecodeSink : public CDecodeReporter, public CByteOutput {
public:
    // The envelope lines ("FROM:", "SUBJECT:", "TO:") of one header block,
    // each ending in a newline.
    virtual void EnvelopeLines(const std::string& lines) = 0;
    // Opens the body text for appending: the content that follows (Write)
    // until EndBodyText is added to it. False when it cannot be kept: the
    // part is skipped.
    virtual bool BeginBodyText() = 0;
    virtual void EndBodyText() = 0;
    // Opens a new attachment; false when it cannot be saved: the part is
    // skipped.
    virtual bool BeginAttachment(const AttachmentInfo& info) = 0;
    virtual void EndAttachment(DigestResult digest) = 0;
    // Decoded content of the open body text or attachment.
    void Write(const void* data, size_t length) override = 0;
    // Where a message/partial store could not be written whole: the message
    // cannot be handed off as it is.
    virtual void OutputFailed(const std::string& path, int error) {
        (void)path;
        (void)error;
    }
    // A file (or, for a path ending in the separator, a folder) of the
    // message/partial store that the message no longer needs. The hand-off
    // removes it once the message is handed off, so that an attempt that
    // fails, or a crash, can decode the fragments again; by default it goes
    // at once.
    virtual void RemoveWhenHandedOff(const std::string& path);
};

}  // namespace mime
