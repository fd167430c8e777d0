// The gateway's one file manager: the data-directory settings, the raw
// message files of received mail in OUT and the queue of outgoing mail in IN.
#pragma once

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/file.h"

class CFileMan {
public:
    CFileMan();
    ~CFileMan();
    CFileMan(const CFileMan&) = delete;
    CFileMan& operator=(const CFileMan&) = delete;

    // Copies the domain name into buf; 1 without copying when it does not fit.
    int GetDomainName(char* buf, int size) const;
    // The data directory as read at start (ends in the path separator).
    const char* GetProgramPath() const { return m_ProgramPath; }
    // Number of queue files now in IN, those passed over left out; always 0.
    int GetQueueCount(int* count) const;
    // Opens the next queue file exclusively: 0, 1 (none) or 32 (held). Full
    // paths in skip and those passed over are not picked.
    int Que_OpenMsg(plat::FileHandle* handle, char* path, int pathSize,
                    const std::set<std::string>* skip = nullptr);
    // Leaves a queue file out of the queue until the next start: one that
    // could not be set aside under an error name must not be sent again.
    void PassOver(const std::string& path);
    // Closes, forgets and deletes a queue file; 1 when the close fails.
    int CloseAndDelete(plat::FileHandle handle);
    // Closes a queue file and forgets it, leaving the file in IN.
    int CloseQueueFile(plat::FileHandle handle);
    // Creates a new raw message file in OUT: 0, or 2 when it cannot be made.
    // path receives the raw message file's name, "%ld.qmx" numbered from
    // TmpIndex (reserved a block of numbers at a time); the data are written
    // under that name plus ".part" until CommitMsg gives the file its name.
    // Numbers whose files still exist
    // (a message not yet handed off, or its hand-off record) are passed
    // over. The message is the caller's until ReleaseMsg or DiscardMsg.
    int QUE_AddMsg(plat::FileHandle* handle, char* path, int pathSize);
    // Flushes the received data to stable storage, closes the file and gives
    // it the raw message file name: from then on the message survives a
    // crash. 0, or the error that prevented it (the data are then removed).
    int CommitMsg(plat::FileHandle handle, const char* path);
    // Closes and removes the data of a message that was not acknowledged.
    void DiscardMsg(plat::FileHandle handle, const char* path);
    // The caller is done with the raw message file (handed off or not).
    void ReleaseMsg(const char* path);
    // Removes the data of unacknowledged messages (".part") and lists the
    // raw message files left behind, oldest first, leaving out those that a
    // caller still holds; the listed files are the caller's until released.
    void RecoverReceived(std::vector<std::string>* rawFiles);
    int Close(plat::FileHandle handle);
    int WriteString(plat::FileHandle handle, const char* text);

private:
    // An open queue file, in the order the files were opened.
    struct OpenFile {
        plat::FileHandle handle;
        std::string path;
    };
    // Removes the first entry of handle from the open-file list; its path,
    // or "" when the handle is not listed.
    std::string Forget(plat::FileHandle handle);
    // The next raw message number (under m_Lock).
    uint32_t TakeTmpNumber();
    // Flushes folder after the caller's rename in it. Sessions that commit at
    // the same moment share one flush: a flush that began after a caller's
    // rename serves that caller too, so none waits for a flush of its own.
    int SyncFolder(const std::string& folder);

    struct FolderFlush {
        uint64_t renamed = 0;  // renames announced so far
        uint64_t synced = 0;   // renames covered by the last flush ended
        int result = 0;        // that flush's result
        bool running = false;
    };
    std::mutex m_FlushLock;
    std::condition_variable m_FlushDone;
    std::map<std::string, FolderFlush> m_Flushes;

    unsigned long m_NumUsers = 0;
    unsigned long m_MaxIn = 5;
    unsigned long m_MaxOut = 5;
    char m_DomainName[80] = {};
    std::vector<OpenFile> m_OpenFiles;
    std::set<std::string> m_PassedOver;  // full paths
    // Raw message files being received or handed off in this process.
    std::set<std::string> m_Held;
    uint32_t m_TmpNext = 0;  // next number of the reserved block
    uint32_t m_TmpLeft = 0;  // numbers left in it
    mutable std::mutex m_Lock;
    char m_ProgramPath[260] = {};
};

// Plain operations beside the class (no lock).
namespace filestore {

int Write(plat::FileHandle handle, const void* buffer, int length);
int Read(plat::FileHandle handle, void* buffer, int length);
// One line byte by byte: its length with the line feed, size when full, 0 at
// end of file (a last line without line feed is dropped). Not NUL-terminated.
int ReadFileLine(plat::FileHandle handle, char* buffer, int size);

// The pieces ReadFileLine returns, from a file read in large blocks: a piece
// ends after its line feed or after size bytes; at the end of the file a last
// piece without line feed is dropped (0). The file position runs ahead of the
// pieces returned.
class PieceReader {
public:
    explicit PieceReader(plat::FileHandle handle);
    // size from 1 to 65536; 0 for any other size.
    int Next(char* piece, int size);

private:
    static constexpr size_t kBlock = 65536;
    bool Fill();

    plat::FileHandle m_handle;
    std::string m_buf;
    size_t m_pos = 0;
    size_t m_len = 0;
    bool m_eof = false;
};

// Queue files in directory + subfolder; full paths in skip do not count.
int CountQueueFiles(const char* directory, const char* subfolder, const std::set<std::string>* skip = nullptr);
// 0 with the bare name of the first queue file that opens exclusively and
// whose full path is not in skip, else 1.
int FindFreeQueueFile(const char* directory, const char* subfolder, char* name, int nameSize,
                      const std::set<std::string>* skip = nullptr);

}  // namespace filestore
