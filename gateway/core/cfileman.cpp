// The file manager: settings of the data directory, raw message files of
// received mail and the queue of outgoing mail.
#include "gateway/core/cfileman.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/settings_names.h"
#include "gateway/core/diag.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

constexpr const char kPartSuffix[] = ".part";
// The hand-off record beside a raw message file.
constexpr const char kRecordSuffix[] = ".out";
// Raw message numbers reserved in TmpIndex at a time.
constexpr uint32_t kTmpBlock = 32;

std::string Folder(const char* directory, const char* subfolder) {
    std::string f(directory);
    f += subfolder;
    return f;
}

}  // namespace

CFileMan::CFileMan() {
    DLOG("Reading Registry for Config info.\r\n");
    plat::CRegKey key;
    if (key.Open(qlsmtp::kSettingsKey, true) == 0) {
        uint32_t v;
        m_MaxOut = key.QueryDword(qlsmtp::kValMaxOut, &v) == 0 ? v : qlsmtp::kDefaultMaxOut;
        m_MaxIn = key.QueryDword(qlsmtp::kValMaxIn, &v) == 0 ? v : m_MaxOut;
        key.SetDword(qlsmtp::kValFileNameUse, 0);
        char buf[80];
        if (key.QueryString(qlsmtp::kValProgramPath, buf, sizeof(buf)) == 0)
            std::snprintf(m_ProgramPath, sizeof(m_ProgramPath), "%s", buf);
        if (key.QueryString(qlsmtp::kValDomainName, buf, sizeof(buf)) == 0)
            std::snprintf(m_DomainName, sizeof(m_DomainName), "%s", buf);
        m_NumUsers = key.QueryDword(qlsmtp::kValNumUsers, &v) == 0 ? v : 0;
    }
    DLOG("File Class Config");
    DLOG(m_DomainName);
    DLOGF("%s.\r\n", m_DomainName);
    DLOG("Completed Reading Config info from Registry.\r\n");
}

CFileMan::~CFileMan() {
    // Queue files still open are closed; they stay in the queue.
    for (const OpenFile& f : m_OpenFiles) plat::FileClose(f.handle);
}

int CFileMan::GetDomainName(char* buf, int size) const {
    int len = static_cast<int>(std::strlen(m_DomainName));
    if (len >= size) return 1;
    std::memcpy(buf, m_DomainName, static_cast<size_t>(len) + 1);
    return 0;
}

int CFileMan::GetQueueCount(int* count) const {
    std::set<std::string> passedOver;
    {
        std::lock_guard<std::mutex> g(m_Lock);
        passedOver = m_PassedOver;
    }
    *count = filestore::CountQueueFiles(m_ProgramPath, "IN", passedOver.empty() ? nullptr : &passedOver);
    return 0;
}

void CFileMan::PassOver(const std::string& path) {
    std::lock_guard<std::mutex> g(m_Lock);
    m_PassedOver.insert(path);
}

int filestore::CountQueueFiles(const char* directory, const char* subfolder, const std::set<std::string>* skip) {
    std::string folder = Folder(directory, subfolder);
    std::vector<plat::DirEntry> entries;
    if (plat::ListDirectory(folder.c_str(), "*.tmp", &entries) != 0) return 0;
    int n = 0;
    for (const plat::DirEntry& e : entries) {
        if (e.name[0] == '.' || e.isDirectory) continue;
        if (skip && skip->count(folder + plat::kPathSep + e.name)) continue;
        ++n;
    }
    return n;
}

int filestore::FindFreeQueueFile(const char* directory, const char* subfolder, char* name, int nameSize,
                      const std::set<std::string>* skip) {
    std::string folder = Folder(directory, subfolder);
    std::vector<plat::DirEntry> entries;
    if (plat::ListDirectory(folder.c_str(), "*.tmp", &entries) != 0) return 1;
    for (const plat::DirEntry& e : entries) {
        if (e.name[0] == '.' || e.isDirectory) continue;
        std::string path = folder + plat::kPathSep + e.name;
        if (skip && skip->count(path)) continue;
        plat::CFile test;
        if (test.Open(path.c_str(), plat::kOpenReadExclusive) != 0) {
            GetAndDisplayError();
            continue;
        }
        if (static_cast<int>(e.name.size()) >= nameSize) continue;
        std::memcpy(name, e.name.c_str(), e.name.size() + 1);
        return 0;
    }
    return 1;
}

int CFileMan::Que_OpenMsg(plat::FileHandle* handle, char* path, int pathSize,
                          const std::set<std::string>* skip) {
    *handle = plat::kInvalidFile;
    if (filestore::CountQueueFiles(m_ProgramPath, "IN") == 0) {
        DLOG("Que_OpenMsg - no messages");
        DLOG("Que_OpenMsg - no messages,\r\n");
        return 1;
    }
    std::lock_guard<std::mutex> g(m_Lock);
    std::set<std::string> passOver = m_PassedOver;
    if (skip) passOver.insert(skip->begin(), skip->end());
    char name[260];
    if (filestore::FindFreeQueueFile(m_ProgramPath, "IN", name, sizeof(name), passOver.empty() ? nullptr : &passOver) != 0)
        return 1;
    std::string full = std::string(m_ProgramPath) + "IN" + plat::kPathSep + name;
    DLOG("Que_OpenMsg - filename to check for");
    DLOG(full.c_str());
    if (static_cast<int>(full.size()) >= pathSize) return 1;
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (!plat::PathExists(full.c_str())) {
            DLOG("Que_OpenMsg  newindex++");
            DLOG("Que_OpenMsg: Access to specified file failed");
        }
        plat::FileHandle h;
        if (plat::FileOpen(full.c_str(), plat::kOpenReadExclusive, &h) == 0) {
            *handle = h;
            std::memcpy(path, full.c_str(), full.size() + 1);
            m_OpenFiles.push_back({h, full});
            return 0;
        }
        DLOG("Que_OpenMsg: Unable to open the specified file.");
        if (GetAndDisplayError() == plat::kErrSharingViolation) return 32;
    }
    return 1;
}

int CFileMan::CloseAndDelete(plat::FileHandle handle) {
    std::lock_guard<std::mutex> g(m_Lock);
    DLOG("Close and Delete");
    DLOG("Close and Delete.\r\n");
    if (plat::FileClose(handle) != 0) {
        DLOG("Close and Delete - close error");
        return 1;
    }
    std::string path = Forget(handle);
    if (!path.empty() && path.size() < 260) {
        DLOG(path.c_str());
        DLOGF("%s deleting it.\r\n", path.c_str());
        plat::RemoveFile(path.c_str());
    }
    return 0;
}

int CFileMan::CloseQueueFile(plat::FileHandle handle) {
    std::lock_guard<std::mutex> g(m_Lock);
    int r = plat::FileClose(handle) == 0 ? 0 : 1;
    Forget(handle);
    return r;
}

std::string CFileMan::Forget(plat::FileHandle handle) {
    auto it = std::find_if(m_OpenFiles.begin(), m_OpenFiles.end(),
                           [handle](const OpenFile& f) { return f.handle == handle; });
    if (it == m_OpenFiles.end()) return std::string();
    std::string path = std::move(it->path);
    m_OpenFiles.erase(it);
    return path;
}

// Raw message numbers come from TmpIndex a block at a time: the stored value
// is always past every number handed out, so a restart never reuses one, and
// only one message in kTmpBlock rewrites the settings file for its number.
// A value changed by someone else takes effect with the next block.
uint32_t CFileMan::TakeTmpNumber() {
    if (m_TmpLeft == 0) {
        plat::CRegKey key;
        uint32_t stored = m_TmpNext;
        if (key.Open(qlsmtp::kSettingsKey, true) == 0) {
            if (key.QueryDword(qlsmtp::kValTmpIndex, &stored) != 0) stored = 0;
            if (stored > 65534) stored = 0;
            key.SetDword(qlsmtp::kValTmpIndex, (stored + kTmpBlock) % 65535);
        }
        m_TmpNext = stored;
        m_TmpLeft = kTmpBlock;
    }
    --m_TmpLeft;
    const uint32_t number = m_TmpNext;
    m_TmpNext = static_cast<uint32_t>(qlsmtp::NextCounter(number));
    return number;
}

int CFileMan::QUE_AddMsg(plat::FileHandle* handle, char* path, int pathSize) {
    *handle = plat::kInvalidFile;
    std::lock_guard<std::mutex> g(m_Lock);
    std::string out = std::string(m_ProgramPath) + "OUT" + plat::kPathSep;
    std::string full;
    int err = 0;
    // A number whose raw message file (or its data) still exists belongs to
    // a message not yet handed off: pass it over.
    for (int tries = 0; tries < 65535; ++tries) {
        full = out + std::to_string(TakeTmpNumber()) + ".qmx";
        if (plat::PathExists(full.c_str()) || plat::PathExists((full + kRecordSuffix).c_str()) || m_Held.count(full))
            continue;
        std::string part = full + kPartSuffix;
        plat::FileHandle h;
        err = plat::FileOpen(part.c_str(), plat::kCreateNewExclusiveRW, &h);
        if (err == plat::kErrFileExists || err == plat::kErrAlreadyExists) continue;
        if (err == 0) {
            *handle = h;
            m_Held.insert(full);
        }
        break;
    }
    DLOG("QUE_AddMsg");
    DLOG(full.c_str());
    if (*handle == plat::kInvalidFile) {
        DLOG("QUE_AddMsg: File open Error.\r\n");
        plat::SetLastError(err);
        GetAndDisplayError();
    }
    if (static_cast<int>(full.size()) < pathSize) {
        std::memcpy(path, full.c_str(), full.size() + 1);
    } else if (pathSize > 0) {
        path[0] = '\0';
    }
    return *handle == plat::kInvalidFile ? 2 : 0;
}

int CFileMan::CommitMsg(plat::FileHandle handle, const char* path) {
    std::string part = std::string(path) + kPartSuffix;
    int err = plat::FileSync(handle);
    int closeErr = plat::FileClose(handle);
    if (err == 0) err = closeErr;
    if (err == 0) err = plat::RenameFile(part.c_str(), path);
    if (err == 0) {
        // The new name must survive a power loss too, or start-up would take
        // the acknowledged message for an unfinished one.
        std::string folder(path);
        size_t sep = folder.find_last_of(plat::kPathSep);
        if (sep != std::string::npos) folder.resize(sep);
        err = SyncFolder(folder);
        if (err != 0) {
            plat::RenameFile(path, part.c_str());
        }
    }
    if (err != 0) {
        plat::RemoveFile(part.c_str());
        plat::SetLastError(err);
        GetAndDisplayError();
        ReleaseMsg(path);
    }
    return err;
}

int CFileMan::SyncFolder(const std::string& folder) {
    std::unique_lock<std::mutex> g(m_FlushLock);
    FolderFlush& f = m_Flushes[folder];
    const uint64_t ticket = ++f.renamed;
    for (;;) {
        if (f.synced >= ticket) return f.result;
        if (!f.running) {
            f.running = true;
            const uint64_t covers = f.renamed;
            g.unlock();
            const int result = plat::SyncDirectory(folder.c_str());
            g.lock();
            f.running = false;
            f.synced = covers;
            f.result = result;
            m_FlushDone.notify_all();
            return result;
        }
        m_FlushDone.wait(g);
    }
}

void CFileMan::DiscardMsg(plat::FileHandle handle, const char* path) {
    if (handle != plat::kInvalidFile) plat::FileClose(handle);
    plat::RemoveFile((std::string(path) + kPartSuffix).c_str());
    ReleaseMsg(path);
}

void CFileMan::ReleaseMsg(const char* path) {
    std::lock_guard<std::mutex> g(m_Lock);
    m_Held.erase(path);
}

void CFileMan::RecoverReceived(std::vector<std::string>* rawFiles) {
    rawFiles->clear();
    std::lock_guard<std::mutex> g(m_Lock);
    std::string out = std::string(m_ProgramPath) + "OUT";
    std::vector<plat::DirEntry> entries;
    if (plat::ListDirectory(out.c_str(), "*.qmx.part", &entries) == 0) {
        for (const plat::DirEntry& e : entries) {
            std::string p = out + plat::kPathSep + e.name;
            if (m_Held.count(p.substr(0, p.size() - std::strlen(kPartSuffix)))) continue;  // being received
            DLOGF("Removing the data of an unacknowledged message: %s", p.c_str());
            plat::RemoveFile(p.c_str());
        }
    }
    if (plat::ListDirectory(out.c_str(), "*.qmx", &entries) != 0) return;
    struct Found {
        int64_t time;
        unsigned long number;
        std::string path;
    };
    std::vector<Found> found;
    for (const plat::DirEntry& e : entries) {
        std::string p = out + plat::kPathSep + e.name;
        if (e.isDirectory || m_Held.count(p)) continue;
        found.push_back({plat::FileModifiedTime(p.c_str()), std::strtoul(e.name.c_str(), nullptr, 10), p});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.time != b.time ? a.time < b.time : a.number < b.number;
    });
    for (Found& f : found) {
        m_Held.insert(f.path);
        rawFiles->push_back(std::move(f.path));
    }
}

int CFileMan::Close(plat::FileHandle handle) {
    DLOG("Close");
    DLOG("Close.\r\n");
    return plat::FileClose(handle) == 0 ? 0 : 1;
}

int CFileMan::WriteString(plat::FileHandle handle, const char* text) {
    return plat::FileWrite(handle, text, static_cast<int>(std::strlen(text)));
}

int filestore::Write(plat::FileHandle handle, const void* buffer, int length) {
    return plat::FileWrite(handle, buffer, length);
}

int filestore::Read(plat::FileHandle handle, void* buffer, int length) { return plat::FileRead(handle, buffer, length); }

int filestore::ReadFileLine(plat::FileHandle handle, char* buffer, int size) {
    int n = 0;
    while (n < size) {
        char c;
        if (plat::FileRead(handle, &c, 1) != 1) return 0;
        buffer[n++] = c;
        if (c == '\n') return n;
    }
    return size;
}

filestore::PieceReader::PieceReader(plat::FileHandle handle) : m_handle(handle), m_buf(kBlock, '\0') {}

int filestore::PieceReader::Next(char* piece, int size) {
    if (size <= 0 || static_cast<size_t>(size) > kBlock) return 0;
    for (;;) {
        size_t avail = m_len - m_pos;
        size_t limit = std::min(avail, static_cast<size_t>(size));
        const char* start = m_buf.data() + m_pos;
        const void* lf = std::memchr(start, '\n', limit);
        size_t n = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1
                      : (avail >= static_cast<size_t>(size) ? static_cast<size_t>(size) : 0);
        if (n > 0) {
            std::memcpy(piece, start, n);
            m_pos += n;
            return static_cast<int>(n);
        }
        if (m_eof || !Fill()) return 0;
    }
}

bool filestore::PieceReader::Fill() {
    std::memmove(m_buf.data(), m_buf.data() + m_pos, m_len - m_pos);
    m_len -= m_pos;
    m_pos = 0;
    int n = plat::FileRead(m_handle, m_buf.data() + m_len, static_cast<int>(m_buf.size() - m_len));
    if (n <= 0) {
        m_eof = true;
        return false;
    }
    m_len += static_cast<size_t>(n);
    return true;
}
