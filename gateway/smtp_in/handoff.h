// Hand-off of received mail to the fax server: decodes a raw message file
// into an envelope ENV<n>.tmp, a body file ENV<n>.bdy and attachment files
// ATT<m>.<ext> in OUT of the data directory, numbered by the settings
// counters and coordinated with the fax server through the in-use flags.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "gateway/mime/handoff_files.h"
#include "platform/registry.h"

// Takes the hand-off lock for the whole call. 0 when the message was handed
// off (ENV<n>.tmp written); non-zero when it could not be, so that the raw
// message file is kept for another attempt: 1 body scratch file, 2
// attachment-list file, 3 envelope name or file, 4 envelope not completed,
// 5 envelope not moved to its final name.
int TranslateReceivedMessage(std::mutex& handoffLock, const char* rawPath);

// Makes a new empty file "~<prefix><3 digits>.<ext>" in folder (which ends
// in the path separator) whose stem no other file has: 0 with its bare name,
// 1 bad arguments, 2 too many open files, 3 folder not found, 4 no free name,
// 5 folder not ending in the separator or another error.
int MakeUniqueFileName(const char* prefix, const char* ext, const char* folder, std::string* name);

// One hand-off: its names, counters and in-use flags on the settings store.
// Run it under the hand-off lock.
class CHandoff : public mime::CHandoffFiles {
public:
    CHandoff();
    int Translate(const char* rawPath);

    // The paths of this hand-off.
    bool GetMsgFileName(std::string* path) override;
    virtual int GetAttchFileName(std::string* path);
    bool GetAttachmentList(std::string* path) override;
    int AllocateEnvFileName();
    bool GetNewFileName(std::string* path) override;
    bool GetRootPath(std::string* path) override;
    bool IsFileNameInUse();
    void ReleaseFileName();

    bool IsAttFileNameInUse() override;
    int AllocateAttFileName(const char* ext) override;
    bool GetAttFileName(std::string* name) override;
    void ReleaseAttFileName() override;
    void Pause(uint32_t ms) override;

private:
    void Discard();

    plat::CRegKey m_key;
    std::string m_root;
    std::string m_msgPath;
    std::string m_listPath;
    std::string m_envPath;
    std::string m_envName;  // ENV<n>, the last part of m_envPath
    std::string m_bodyPath;
    std::string m_attName;
    bool m_listFailed = false;
};
