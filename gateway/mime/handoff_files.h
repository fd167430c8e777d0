// The names, counters and in-use flags of the current hand-off, as the
// decoder uses them to place the envelope lines, the body text and the
// attachments. The hand-off implements them on the settings store; tests
// use a folder of their own.
#pragma once

#include <cstdint>
#include <string>

namespace mime {

class CHandoffFiles {
public:
    virtual ~CHandoffFiles() = default;
    // Path of the envelope file being written; false when unknown.
    virtual bool GetNewFileName(std::string* path) = 0;
    // Path of the body scratch file.
    virtual bool GetMsgFileName(std::string* path) = 0;
    // Path of the attachment-list file, made when first asked for, so that a
    // message without attachments needs none; false when it cannot be made.
    virtual bool GetAttachmentList(std::string* path) = 0;
    // The data directory (ends in the path separator when configured so).
    virtual bool GetRootPath(std::string* path) = 0;
    // The attachment in-use flag.
    virtual bool IsAttFileNameInUse() = 0;
    // Takes the next attachment name "ATT<m>.<ext>" and sets the in-use
    // flag; 0 on success.
    virtual int AllocateAttFileName(const char* ext) = 0;
    // The allocated bare name.
    virtual bool GetAttFileName(std::string* name) = 0;
    virtual void ReleaseAttFileName() = 0;
    // Waits between two looks at the in-use flag.
    virtual void Pause(uint32_t ms) = 0;
    // An output (envelope, body scratch, attachment or list file) could not
    // be opened or written whole (error: the system's code, 0 when unknown):
    // the message cannot be handed off as it is.
    virtual void OutputFailed(const std::string& path, int error) {
        (void)path;
        (void)error;
    }
    // Removes a file (or, for a path ending in the separator, a folder)
    // that the message no longer needs: the fragments of a joined partial
    // message. The hand-off waits until the message is handed off, so that
    // an attempt that fails, or a crash, can decode them again.
    virtual void RemoveWhenHandedOff(const std::string& path);
};

}  // namespace mime
