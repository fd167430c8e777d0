// Hand-off of received mail to the fax server: decodes a raw message file
// into an envelope ENV<n>.tmp, a body file ENV<n>.bdy and attachment files
// ATT<m>.<ext> in OUT of the data directory, numbered by the settings
// counters and coordinated with the fax server through the in-use flags.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/mime/decode_sink.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/textfile.h"

// Takes the hand-off lock until the envelope has its final name. 0 when the
// message was handed off (ENV<n>.tmp written, on disk, and the raw message
// file removed); non-zero when it could not be: what it wrote is removed
// again and the raw message file is kept for another attempt. 1 body
// scratch file or hand-off record, 2 attachment-list file, 3 envelope name
// or file, 4 an output not written whole, 5 envelope not moved to its final
// name, 6 an earlier, interrupted hand-off of the file could not be undone.
int TranslateReceivedMessage(std::mutex& handoffLock, const char* rawPath);

// The hand-off record of a raw message file: "<raw path>.out". It names, one
// bare name a line, each file in OUT that the hand-off creates, written to
// disk before the file is made; its last line, the envelope's final name
// ENV<n>.tmp, is written once every output is complete and on disk, just
// before the envelope takes that name.
std::string HandoffRecordPath(const char* rawPath);

// Makes the empty hand-off record of a raw message file that is about to be
// committed, so that the folder flush of the commit makes its name durable
// too and the hand-off need not flush the folder for it. False when it could
// not be made; the hand-off then makes it itself.
bool PrepareHandoffRecord(const char* rawPath);

// Ends a hand-off that a crash interrupted, from its record: a recorded
// envelope name completes it (the envelope takes its final name and the raw
// message file goes), otherwise every file it made is removed and the raw
// message file stays. FileNameUseAtt is cleared when it was left set for one
// of the record's attachments. Run it under the hand-off lock.
enum class RecordState { kNone, kCompleted, kUndone, kFailed };
RecordState ResolveHandoffRecord(const char* rawPath);

// Under the hand-off lock, before a hand-off takes any name: ends every
// recorded hand-off in outFolder (all were interrupted, since none runs) and
// removes the scratch files (body scratch, attachment lists) a crash left.
// So no name that an interrupted hand-off took is handed out again before
// that hand-off is undone.
void RecoverHandoffs(const std::string& outFolder);

// Makes a new empty file "~<prefix><3 digits>.<ext>" in folder (which ends
// in the path separator) whose stem no other file has: 0 with its bare name,
// 1 bad arguments, 2 too many open files, 3 folder not found, 4 no free name,
// 5 folder not ending in the separator or another error.
int MakeUniqueFileName(const char* prefix, const char* ext, const char* folder, std::string* name);

// One hand-off: its names, counters and in-use flags on the settings store,
// and the files in OUT where the decoder's results go. Translate runs under
// the hand-off lock it is given.
class CHandoff {
public:
    CHandoff();
    virtual ~CHandoff() = default;
    // With a lock: held until the envelope has its final name and the name
    // is released; the raw file and the record are removed after it.
    int Translate(const char* rawPath, std::mutex* lock = nullptr);

    // The paths of this hand-off.
    bool GetMsgFileName(std::string* path);
    virtual int GetAttchFileName(std::string* path);
    virtual bool GetAttachmentList(std::string* path);
    int AllocateEnvFileName();
    bool GetRootPath(std::string* path);
    bool IsFileNameInUse();
    void ReleaseFileName();

    bool IsAttFileNameInUse();
    int AllocateAttFileName(const char* ext);
    bool GetAttFileName(std::string* name);
    void ReleaseAttFileName();
    // Waits between two looks at an in-use flag.
    virtual void Pause(uint32_t ms);

    // The decoder's results: the callbacks filled in with the steps below.
    mime::DecodeCallbacks DecoderOutputs();
    void AppendEnvelope(const std::string& lines);
    bool OpenBodyText();
    void CloseBodyText();
    bool OpenAttachment(const mime::AttachmentInfo& info);
    void CloseAttachment(mime::DigestResult digest);
    void WriteContent(const void* data, size_t length);
    // An output could not be opened or written whole (error: the system's
    // code, 0 when unknown): the message cannot be handed off as it is.
    void MarkOutputFailed(const std::string& path, int error);

private:
    int TranslateSteps(const char* rawPath);
    void EndCommitted(const char* rawPath);
    void Discard();
    // Notes a file of OUT in the hand-off record before it is made; with
    // sync false the line reaches the disk with the next line synced.
    bool Record(const std::string& name, bool sync = true);
    // Forces the outputs (the envelope, synced as it was closed, aside) and
    // their names to disk; 0 on success.
    int SyncOutputs();

    plat::CRegKey m_key;
    std::string m_root;
    std::string m_msgPath;
    std::string m_listPath;
    std::string m_envPath;
    std::string m_envName;  // ENV<n>, the last part of m_envPath
    std::string m_bodyPath;
    std::string m_attName;
    bool m_listFailed = false;
    bool m_outputFailed = false;
    bool m_envFlagSet = false;  // FileNameUse set by this hand-off
    bool m_attFlagSet = false;  // FileNameUseAtt set by this hand-off
    plat::CTextStream m_envelope;  // open from its creation to its trailer
    plat::CFile m_record;
    std::string m_recordPath;
    std::string m_finalPath;  // ENV<n>.tmp once the hand-off is committed
    std::vector<std::string> m_created;      // paths listed in the record
    std::vector<std::string> m_removeAfter;  // to go once handed off
    std::unique_ptr<plat::CTextStream> m_content;  // the open body text or attachment
    std::string m_contentPath;
};
