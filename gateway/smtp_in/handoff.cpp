#include "gateway/smtp_in/handoff.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "common/settings_names.h"
#include "gateway/mime/decoder.h"
#include "gateway/mime/transfer.h"
#include "gateway/core/diag.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/textfile.h"

namespace {

constexpr uint32_t kInUsePollMs = 25000;
// Readers of ProgramPath, FileName and FileNameAtt take at most 80 bytes.
constexpr uint32_t kSettingPathSize = 80;
constexpr unsigned long kCounterRange = 65535;
constexpr int kBase36Limit = 46656;

std::string OutFolder(const std::string& root) { return root + "OUT" + plat::kPathSep; }

bool CreateEmpty(const std::string& path) {
    plat::CFile f;
    return f.Open(path.c_str(), plat::kCreateTruncRW) == 0;
}

// Reads a counter; an absent value starts at 0.
bool ReadCounter(const plat::CRegKey& key, const char* name, unsigned long* value) {
    uint32_t v = 0;
    long r = key.QueryDword(name, &v);
    if (r == plat::kRegNotFound) v = 0;
    else if (r != plat::kRegSuccess) return false;
    *value = v;
    return true;
}

// Stores the next counter value, the allocated name (without a terminating
// NUL) and the in-use flag 1, in this order and, where the store allows it,
// in one step.
void WriteAllocation(plat::CRegKey& key, const char* counter, unsigned long next, const char* name,
                     const std::string& text, const char* inUse) {
    const uint32_t value = static_cast<uint32_t>(next), one = 1;
    const plat::RegWrite writes[] = {
        {counter, plat::kRegDword, &value, sizeof(value)},
        {name, plat::kRegSz, text.data(), static_cast<uint32_t>(text.size())},
        {inUse, plat::kRegDword, &one, sizeof(one)},
    };
    key.SetValues(writes, 3);
}

// Files in folder whose name is stem or begins with stem and a dot.
int CountStem(const std::string& folder, const std::string& stem) {
    std::vector<plat::DirEntry> entries;
    plat::ListDirectory(folder.c_str(), (stem + "*").c_str(), &entries);
    int n = 0;
    for (const plat::DirEntry& e : entries) {
        if (e.isDirectory || e.isHidden) continue;
        if (e.name.size() == stem.size() || e.name[stem.size()] == '.') ++n;
    }
    return n;
}

std::string Digits(int counter, int base) {
    static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    char d[4] = {kDigits[(counter / (base * base)) % base], kDigits[(counter / base) % base], kDigits[counter % base],
                 '\0'};
    return d;
}

constexpr const char kRecordSuffix[] = ".out";

bool EndsWith(const std::string& s, const char* tail) {
    size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string FolderOf(const std::string& path) {
    size_t sep = path.find_last_of(plat::kPathSep);
    return sep == std::string::npos ? std::string(".") : path.substr(0, sep);
}

std::string BareName(const std::string& path) {
    size_t sep = path.find_last_of(plat::kPathSep);
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

// The complete lines of a hand-off record. A last line without its line end
// was cut short by the crash, before the file it names was made.
bool ReadRecord(const std::string& path, std::vector<std::string>* lines) {
    plat::CTextStream in;
    if (in.Open(path.c_str(), "rb") != 0) return false;
    std::string line;
    int c;
    while ((c = in.GetC()) >= 0) {
        if (c != '\n') {
            line += static_cast<char>(c);
        } else {
            if (!line.empty()) lines->push_back(line);
            line.clear();
        }
    }
    return !in.Error();
}

// FileNameUseAtt is this gateway's to clear when it names one of the files
// of an interrupted hand-off.
void ReleaseAttFlagOf(const std::vector<std::string>& lines) {
    plat::CRegKey key;
    uint32_t inUse = 0;
    char name[kSettingPathSize] = {};
    if (key.Open(qlsmtp::kSettingsKey, true) != 0 || key.QueryDword(qlsmtp::kValFileNameUseAtt, &inUse) != 0 ||
        inUse == 0 || key.QueryString(qlsmtp::kValFileNameAtt, name, sizeof(name)) != 0 || !*name)
        return;
    for (const std::string& line : lines) {
        if (BareName(line) != name) continue;
        DLOGF("Clearing FileNameUseAtt, left set for %s by an interrupted hand-off", name);
        key.SetDword(qlsmtp::kValFileNameUseAtt, 0);
        return;
    }
}

bool RemoveIfPresent(const std::string& path) {
    return plat::RemoveFile(path.c_str()) == 0 || !plat::PathExists(path.c_str());
}

// The end of a committed hand-off, once the envelope has its final name:
// the raw file goes before the record, so that a crash between the two
// never hands the message off again. One flush of the folder makes the
// envelope's name and the removal last; until then the record completes
// both after a crash. True when the record is gone too.
bool EndCommittedHandoff(const char* rawPath, const std::string& final) {
    if (!RemoveIfPresent(rawPath)) return false;
    plat::SyncDirectory(FolderOf(final).c_str());
    if (FolderOf(rawPath) != FolderOf(final)) plat::SyncDirectory(FolderOf(rawPath).c_str());
    return RemoveIfPresent(HandoffRecordPath(rawPath));
}

}  // namespace

std::string HandoffRecordPath(const char* rawPath) { return std::string(rawPath) + kRecordSuffix; }

bool PrepareHandoffRecord(const char* rawPath) { return CreateEmpty(HandoffRecordPath(rawPath)); }

RecordState ResolveHandoffRecord(const char* rawPath) {
    const std::string record = HandoffRecordPath(rawPath);
    std::vector<std::string> lines;
    if (!ReadRecord(record, &lines)) return plat::PathExists(record.c_str()) ? RecordState::kFailed : RecordState::kNone;
    if (lines.empty()) {  // made before the commit; nothing was made under it
        plat::RemoveFile(record.c_str());
        return RecordState::kUndone;
    }
    ReleaseAttFlagOf(lines);
    const std::string folder = FolderOf(rawPath);
    // Committed: the last line is the envelope listed before it with ".tmp"
    // (an attachment that happens to end in ".tmp" is not).
    const std::string& final = lines.back();
    const std::string envelope = EndsWith(final, ".tmp") ? final.substr(0, final.size() - 4) : std::string();
    if (!envelope.empty() && std::find(lines.begin(), lines.end() - 1, envelope) != lines.end() - 1) {
        // Every output was on disk: complete the hand-off. Both names
        // present means the move was cut between its two steps.
        if (plat::PathExists(envelope.c_str())) {
            int error = plat::PathExists(final.c_str()) ? plat::RemoveFile(envelope.c_str())
                                                        : plat::RenameFile(envelope.c_str(), final.c_str());
            if (error != 0) return RecordState::kFailed;
        }
        if (!EndCommittedHandoff(rawPath, final) && plat::PathExists(rawPath)) return RecordState::kFailed;
        DLOGF("Completed the interrupted hand-off of %s as %s", rawPath, final.c_str());
        return RecordState::kCompleted;
    }
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (!RemoveIfPresent(*it)) return RecordState::kFailed;
    plat::SyncDirectory(folder.c_str());
    plat::RemoveFile(record.c_str());
    DLOGF("Undid the interrupted hand-off of %s", rawPath);
    return RecordState::kUndone;
}

namespace {

// Folders in which this process has ended every recorded hand-off. A record
// appears there again only when a hand-off of this process leaves one, so a
// hand-off lists the folder (which holds every envelope the fax server has
// not collected yet) only after that, not each time.
std::mutex g_settledLock;
std::set<std::string> g_settled;

bool IsSettled(const std::string& folder) {
    std::lock_guard<std::mutex> g(g_settledLock);
    return g_settled.count(folder) != 0;
}

void MarkSettled(const std::string& folder, bool settled) {
    std::lock_guard<std::mutex> g(g_settledLock);
    if (settled) {
        g_settled.insert(folder);
    } else {
        g_settled.erase(folder);
    }
}

}  // namespace

void RecoverHandoffs(const std::string& outFolder) {
    std::vector<plat::DirEntry> entries;
    const bool listed = plat::ListDirectory(outFolder.c_str(), "*", &entries) == 0;
    const std::string dir = outFolder + plat::kPathSep;
    const size_t suffix = std::strlen(kRecordSuffix);
    bool settled = listed;
    for (const plat::DirEntry& e : entries) {
        if (e.isDirectory) continue;
        const std::string& n = e.name;
        if (EndsWith(n, ".qmx.out")) {
            if (ResolveHandoffRecord((dir + n.substr(0, n.size() - suffix)).c_str()) == RecordState::kFailed)
                settled = false;
        } else if (n == "Msgcnt.imp" || (n.compare(0, 5, "~ATTC") == 0 && EndsWith(n, ".imp"))) {
            plat::RemoveFile((dir + n).c_str());
        }
    }
    MarkSettled(outFolder, settled);
}

int MakeUniqueFileName(const char* prefix, const char* ext, const char* folder, std::string* name) {
    if (!prefix || !ext || !folder || !name || std::strlen(prefix) != 4 || std::strlen(ext) > 3 ||
        std::strlen(folder) > 256)
        return 1;
    const std::string dir = folder;
    if (dir.empty() || dir.back() != plat::kPathSep) return 5;

    int counter = 0, base = 10, phase = 1, phaseTwoSteps = 0, start = 0;
    for (;;) {
        if (counter >= kBase36Limit) return 4;
        const std::string stem = std::string("~") + prefix + Digits(counter, base);
        // The folder is looked at once, after the create: a file of the same
        // stem, there before or made meanwhile, shows as a second one.
        const std::string candidate = stem + "." + ext;
        const std::string path = dir + candidate;
        plat::CFile file;
        int error = file.Open(path.c_str(), plat::kCreateNewExclusiveRW);
        if (error == 0) {
            file.Close();
            if (CountStem(dir, stem) == 1) {
                *name = candidate;
                return 0;
            }
            plat::RemoveFile(path.c_str());  // the stem is taken
        } else if (!plat::PathExists(path.c_str())) {
            if (!plat::IsDirectory(folder)) return 3;
            return error == plat::kErrTooManyOpenFiles ? 2 : 5;
        }
        int second = 0, millisecond = 0;
        if (phase == 1) {
            if (++counter > 39) {
                plat::CurrentSecondAndMillisecond(&second, &millisecond);
                counter = (second + millisecond) % 960 + 40;
                phase = 2;
            }
        } else if (phase == 2) {
            if (++phaseTwoSteps > 20) {
                plat::CurrentSecondAndMillisecond(&second, &millisecond);
                start = (53 * millisecond + second) % 46646 + 10;
                counter = start;
                base = 36;
                phase = 3;
            } else if (++counter == 1000) {
                counter = 40;
            }
        } else {
            if (++counter == kBase36Limit) counter = 10;
            if (counter == start) return 4;
        }
    }
}

CHandoff::CHandoff() { m_key.Open(qlsmtp::kSettingsKey, false); }

// The data directory is read once per hand-off.
bool CHandoff::GetRootPath(std::string* path) {
    if (m_root.empty()) {
        char buf[kSettingPathSize];
        if (m_key.QueryString(qlsmtp::kValProgramPath, buf, sizeof(buf)) != plat::kRegSuccess) return false;
        m_root = buf;
    }
    *path = m_root;
    return true;
}

bool CHandoff::GetMsgFileName(std::string* path) {
    std::string root;
    if (!GetRootPath(&root)) return false;
    *path = OutFolder(root) + "Msgcnt.imp";
    return true;
}

int CHandoff::GetAttchFileName(std::string* path) {
    std::string root;
    if (!GetRootPath(&root)) return 5;
    std::string folder = OutFolder(root), name;
    int r = MakeUniqueFileName("ATTC", "imp", folder.c_str(), &name);
    if (r == 0) *path = folder + name;
    return r;
}

bool CHandoff::GetAttachmentList(std::string* path) {
    if (m_listPath.empty()) {
        if (m_listFailed) return false;
        // The list file is made by its unique name; a crash before it is
        // recorded leaves a scratch file that the next start removes.
        if (GetAttchFileName(&m_listPath) != 0 || !Record(m_listPath) || !CreateEmpty(m_listPath)) {
            DLOG("Unable to open attachment file for writing");
            if (!m_listPath.empty()) plat::RemoveFile(m_listPath.c_str());
            m_listPath.clear();
            m_listFailed = true;
            return false;
        }
        DLOGF("GetAttchFileName : %s\r\n", m_listPath.c_str());
    }
    *path = m_listPath;
    return true;
}

bool CHandoff::IsFileNameInUse() {
    uint32_t v = 0;
    return m_key.QueryDword(qlsmtp::kValFileNameUse, &v) == plat::kRegSuccess && v != 0;
}

void CHandoff::ReleaseFileName() {
    if (!m_envFlagSet) return;  // a flag this hand-off did not set is not ours to clear
    m_key.SetDword(qlsmtp::kValFileNameUse, 0);
    m_envFlagSet = false;
}

// Takes the next envelope number whose files are all absent, so that nothing
// the fax server has not collected yet is overwritten.
int CHandoff::AllocateEnvFileName() {
    std::string root;
    unsigned long n = 0;
    if (!GetRootPath(&root) || !ReadCounter(m_key, qlsmtp::kValOUTIndex, &n)) return 1;
    if (root.empty() || root.back() != plat::kPathSep) root += plat::kPathSep;
    const std::string folder = OutFolder(root);
    std::string path;
    for (unsigned long tries = 0;; ++tries) {
        if (tries >= kCounterRange) return 1;
        m_envName = "ENV" + std::to_string(n);
        path = folder + m_envName;
        if (!plat::PathExists(path.c_str()) && !plat::PathExists((path + ".tmp").c_str()) &&
            !plat::PathExists((path + ".bdy").c_str()))
            break;
        n = qlsmtp::NextCounter(n);
    }
    // The body file takes the envelope's name with ".bdy".
    std::string asRead;
    GetRootPath(&asRead);
    const std::string body = OutFolder(asRead) + m_envName + ".bdy";
    if (!Record(path, false) || !Record(body)) return 1;
    WriteAllocation(m_key, qlsmtp::kValOUTIndex, qlsmtp::NextCounter(n), qlsmtp::kValFileName, path,
                    qlsmtp::kValFileNameUse);
    m_envFlagSet = true;
    m_envPath = path;
    m_bodyPath = body;
    return 0;
}

bool CHandoff::IsAttFileNameInUse() {
    uint32_t v = 0;
    return m_key.QueryDword(qlsmtp::kValFileNameUseAtt, &v) == plat::kRegSuccess && v != 0;
}

int CHandoff::AllocateAttFileName(const char* ext) {
    std::string root;
    unsigned long n = 0;
    if (!GetRootPath(&root) || !ReadCounter(m_key, qlsmtp::kValOUTIndexAtt, &n)) return 1;
    const std::string folder = OutFolder(root);
    std::string name;
    for (unsigned long tries = 0;; ++tries) {
        if (tries >= kCounterRange) return 1;
        name = "ATT" + std::to_string(n) + "." + ext;
        if (!plat::PathExists((folder + name).c_str())) break;
        n = qlsmtp::NextCounter(n);
    }
    if (!Record(folder + name)) return 1;
    WriteAllocation(m_key, qlsmtp::kValOUTIndexAtt, qlsmtp::NextCounter(n), qlsmtp::kValFileNameAtt, name,
                    qlsmtp::kValFileNameUseAtt);
    m_attFlagSet = true;
    m_attName = name;
    return 0;
}

bool CHandoff::GetAttFileName(std::string* name) {
    if (m_attName.empty()) return false;
    *name = m_attName;
    return true;
}

void CHandoff::ReleaseAttFileName() {
    if (!m_attFlagSet) return;  // a flag this hand-off did not set is not ours to clear
    m_key.SetDword(qlsmtp::kValFileNameUseAtt, 0);
    m_attFlagSet = false;
}

void CHandoff::Pause(uint32_t ms) { plat::SleepMs(ms); }

void CHandoff::MarkOutputFailed(const std::string& path, int error) {
    DLOGF("Hand-off: unable to write %s (error %d)", path.c_str(), error);
    m_outputFailed = true;
}

bool CHandoff::Record(const std::string& path, bool sync) {
    const std::string line = path + "\n";
    if (!m_record.IsOpen() || m_record.Write(line.data(), static_cast<int>(line.size())) != static_cast<int>(line.size()) ||
        (sync && m_record.Sync() != 0)) {
        MarkOutputFailed(m_recordPath, plat::LastError());
        return false;
    }
    m_created.push_back(path);
    return true;
}

int CHandoff::SyncOutputs() {
    std::vector<std::string> folders;
    for (const std::string& path : m_created) {
        if (path == m_msgPath || path == m_listPath) continue;  // scratch files, gone by now
        const std::string folder = FolderOf(path);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
        if (path == m_envPath) continue;  // synced as it was closed, before this
        plat::CFile f;
        int error = f.Open(path.c_str(), plat::kOpenReadWrite);
        if (error == 0) error = f.Sync();
        if (error == 0) error = f.Close();
        if (error != 0) {
            MarkOutputFailed(path, error);
            return error;
        }
    }
    for (const std::string& folder : folders) {
        int error = plat::SyncDirectory(folder.c_str());
        if (error != 0) {
            MarkOutputFailed(folder, error);
            return error;
        }
    }
    return 0;
}

// Undoes a hand-off that cannot be completed: every file it made goes, and
// the message will be handed off again from its raw file.
void CHandoff::Discard() {
    m_envelope.Close();
    bool removed = true;
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it) removed = RemoveIfPresent(*it) && removed;
    m_record.Close();
    // A file that would not go stays listed, so that the next attempt
    // removes it.
    if (removed) plat::RemoveFile(m_recordPath.c_str());
    m_created.clear();
    m_removeAfter.clear();  // decoded again by the next attempt
    ReleaseAttFileName();
    ReleaseFileName();
}

int CHandoff::Translate(const char* rawPath, std::mutex* lock) {
    int result;
    {
        std::unique_lock<std::mutex> held;
        if (lock) held = std::unique_lock<std::mutex>(*lock);
        result = TranslateSteps(rawPath);
        // A record left by a hand-off that did not commit is ended before
        // the next hand-off takes a name.
        if (m_finalPath.empty() && plat::PathExists(HandoffRecordPath(rawPath).c_str()))
            MarkSettled(FolderOf(rawPath), false);
    }
    if (!m_finalPath.empty()) EndCommitted(rawPath);
    return result;
}

// Needs no lock: the envelope is final and its name released, and a look at
// the record meanwhile only completes it too.
void CHandoff::EndCommitted(const char* rawPath) {
    m_record.Close();
    if (!EndCommittedHandoff(rawPath, m_finalPath)) MarkSettled(FolderOf(rawPath), false);
}

int CHandoff::TranslateSteps(const char* rawPath) {
    while (IsFileNameInUse()) Pause(kInUsePollMs);

    // Hand-offs interrupted by a crash are completed or undone first, this
    // file's and every other, before any name is taken: so no name that one
    // of them took is handed out again before it is undone. A settled folder
    // has none.
    if (!IsSettled(FolderOf(rawPath))) {
        switch (ResolveHandoffRecord(rawPath)) {
            case RecordState::kCompleted: return 0;
            case RecordState::kFailed: DLOGF("Unable to end the earlier hand-off of %s", rawPath); return 6;
            default: break;
        }
        RecoverHandoffs(FolderOf(rawPath));
    }
    m_recordPath = HandoffRecordPath(rawPath);
    // An empty record made before the message was committed is on disk
    // already; any other is made (or emptied) and its name flushed here.
    bool ready = m_record.Open(m_recordPath.c_str(), plat::kOpenReadWrite) == 0 && m_record.Seek(0, 2) == 0;
    if (!ready) {
        m_record.Close();
        ready = m_record.Open(m_recordPath.c_str(), plat::kCreateTruncRW) == 0 &&
                plat::SyncDirectory(FolderOf(m_recordPath).c_str()) == 0;
    }
    if (!ready) {
        DLOG("Unable to open the hand-off record for writing");
        m_record.Close();
        plat::RemoveFile(m_recordPath.c_str());
        return 1;
    }

    // The body scratch file's line reaches the disk with the envelope's: a
    // crash before that leaves only a scratch file, which start-up removes.
    if (!GetMsgFileName(&m_msgPath) || !Record(m_msgPath, false) || !CreateEmpty(m_msgPath)) {
        DLOG("Unable to open message file for writing");
        Discard();
        return 1;
    }
    DLOGF("\nGetMsgFileName : %s\r\n", m_msgPath.c_str());
    if (AllocateEnvFileName() != 0) {
        DLOG("Unable to open new file for writing");
        Discard();
        return 3;
    }
    DLOG("Get the New File for writing the translated output.\r\n");
    DLOGF("GetNewFileName before Open: %s\r\n", m_envPath.c_str());
    // The envelope stays open, in text mode, until its trailer is written.
    if (m_envelope.Open(m_envPath.c_str(), "w") != 0) {
        DLOG("Unable to open new file for writing");
        Discard();
        return 3;
    }

    {
        plat::CTextStream raw;
        if (raw.Open(rawPath, "r") == 0) {
            mime::PartStream stream(&raw);  // the attachment list is made by the first attachment
            mime::CMimeDecoder decoder(DecoderOutputs());
            decoder.DecodeMessage(stream, "text/plain", 0);
            if (raw.Error()) MarkOutputFailed(rawPath, raw.LastError());  // not read whole
        } else {
            DLOG("Unable to open translation ip file.\r\n");
        }
    }

    // An attachment that had no list to go in was not saved: the message is
    // handed off again later rather than without it.
    if (m_listFailed) {
        Discard();
        return 2;
    }
    if (m_outputFailed) {
        Discard();
        return 4;
    }

    std::string root;
    GetRootPath(&root);
    const std::string bodyName = m_envName + ".bdy";
    DLOGF("GetMsgFileName MsgFlname: %s\r\n", m_msgPath.c_str());
    DLOGF("GetRootPath RootPath: %s\r\n", root.c_str());
    // The body scratch file becomes the body file: renamed in the same
    // folder, copied only where that fails.
    const bool moved = plat::RenameFile(m_msgPath.c_str(), m_bodyPath.c_str()) == 0;
    if (!moved && plat::CopyFile(m_msgPath.c_str(), m_bodyPath.c_str(), true) != 0) {
        Discard();
        return 4;
    }
    std::string block = "\nBEGIN BODY\n<<" + bodyName + ">>\nEND BODY\n\n";

    // The attachment block: every complete line of the attachment list.
    plat::CTextStream list;
    if (!m_listPath.empty()) {
        if (list.Open(m_listPath.c_str(), "r") != 0) {
            Discard();
            return 2;
        }
        std::string lines, line;
        int c;
        while ((c = list.GetC()) >= 0) {
            line += static_cast<char>(c);
            if (c != '\n') continue;
            lines += line;
            line.clear();
        }
        if (!lines.empty()) block += "BEGIN ATTACH\n" + lines + "END ATTACH\n";
        bool readWhole = !list.Error();
        list.Close();
        if (!readWhole) {
            Discard();
            return 2;
        }
    }
    if (m_envelope.Write(block.data(), static_cast<int>(block.size())) != static_cast<int>(block.size()) ||
        m_envelope.Sync() != 0 || m_envelope.Close() != 0) {
        MarkOutputFailed(m_envPath, m_envelope.LastError());
        Discard();
        return 4;
    }
    if (!m_listPath.empty()) plat::RemoveFile(m_listPath.c_str());
    if (!moved) plat::RemoveFile(m_msgPath.c_str());

    // Every output on disk, then the commit: the record names the final
    // envelope name. From here on the hand-off is completed, never undone.
    const std::string final = m_envPath + ".tmp";
    if (SyncOutputs() != 0 || !Record(final)) {
        Discard();
        return 4;
    }
    if (plat::RenameFile(m_envPath.c_str(), final.c_str()) != 0) {
        // Completed from the record by the next attempt.
        DLOG("Unable to give the envelope its final name");
        m_record.Close();
        ReleaseFileName();
        return 5;
    }
    ReleaseFileName();
    for (const std::string& path : m_removeAfter) mime::RemoveFragmentStorePath(path);
    m_finalPath = final;  // the raw file and the record go after the lock
    return 0;
}

int TranslateReceivedMessage(std::mutex& handoffLock, const char* rawPath) {
    CHandoff handoff;
    return handoff.Translate(rawPath, &handoffLock);
}

void CHandoff::AppendEnvelope(const std::string& lines) {
    if (m_envelope.Write(lines.data(), static_cast<int>(lines.size())) < 0)
        MarkOutputFailed(m_envPath, m_envelope.LastError());
}

bool CHandoff::OpenBodyText() {
    m_contentPath.clear();
    GetMsgFileName(&m_contentPath);
    m_content = std::make_unique<plat::CTextStream>();
    int error = m_content->Open(m_contentPath.c_str(), "a+");
    if (error != 0) {
        mime::CConsoleReporter::Instance().ErrorReport("tempdesc.txt", error);
        MarkOutputFailed(m_contentPath, error);
        m_content.reset();
        return false;
    }
    return true;
}

void CHandoff::WriteContent(const void* data, size_t length) {
    if (m_content) m_content->Write(data, static_cast<int>(length));  // a failure stays marked on the stream
}

void CHandoff::CloseBodyText() {
    if (!m_content) return;
    if (m_content->Error() || m_content->Close() != 0) {
        mime::CConsoleReporter::Instance().ErrorReport(m_contentPath, m_content->LastError());
        MarkOutputFailed(m_contentPath, m_content->LastError());
    }
    m_content.reset();
}

bool CHandoff::OpenAttachment(const mime::AttachmentInfo& info) {
    std::string list;
    if (!GetAttachmentList(&list)) return false;  // nowhere to list it: not saved
    while (IsAttFileNameInUse()) Pause(kInUsePollMs);
    std::string name, root;
    if (AllocateAttFileName(info.extension.c_str()) != 0) {
        // No name was taken, so the in-use flag is not this hand-off's to clear.
        MarkOutputFailed("ATT", 0);
        return false;
    }
    if (!GetAttFileName(&name) || !GetRootPath(&root)) {
        MarkOutputFailed("ATT", 0);
        ReleaseAttFileName();
        return false;
    }
    m_contentPath = root + "OUT" + plat::kPathSep + name;
    m_content = std::make_unique<plat::CTextStream>();
    int error = m_content->Open(m_contentPath.c_str(), info.binary ? "wb" : "w");
    if (error != 0) {
        MarkOutputFailed(m_contentPath, error);
        m_content.reset();
        ReleaseAttFileName();
        return false;
    }
    // Listed only once the file exists, so the envelope never names a
    // missing attachment. An attachment that cannot be listed would be lost
    // to the fax server: the hand-off fails.
    plat::CTextStream out;
    error = out.Open(list.c_str(), "a+");
    if (error == 0) {
        std::string line = "<<" + info.listedName + ":" + name + ">>\n";
        if (out.Write(line.data(), static_cast<int>(line.size())) != static_cast<int>(line.size()) || out.Close() != 0)
            MarkOutputFailed(list, out.LastError());
    } else {
        mime::CConsoleReporter::Instance().ErrorReport("Unable to open out file for write", error);
        MarkOutputFailed(list, error);
    }
    return true;
}

void CHandoff::CloseAttachment(mime::DigestResult digest) {
    if (!m_content) return;
    CloseBodyText();
    if (digest == mime::DigestResult::kMismatch) mime::WarnCorrupted(m_contentPath.c_str(), mime::CConsoleReporter::Instance());
    ReleaseAttFileName();
}

mime::DecodeCallbacks CHandoff::DecoderOutputs() {
    mime::CConsoleReporter& console = mime::CConsoleReporter::Instance();
    return {
        .envelopeLines = [this](const std::string& lines) { AppendEnvelope(lines); },
        .beginBodyText = [this] { return OpenBodyText(); },
        .endBodyText = [this] { CloseBodyText(); },
        .beginAttachment = [this](const mime::AttachmentInfo& info) { return OpenAttachment(info); },
        .endAttachment = [this](mime::DigestResult digest) { CloseAttachment(digest); },
        .write = [this](const void* data, size_t length) { WriteContent(data, length); },
        .warning = [&console](const std::string& text) { console.DecodeWarning(text); },
        .status = [&console](const std::string& text) { console.DecodeStatus(text); },
        .error = [&console](const std::string& text, int error) { console.ErrorReport(text, error); },
        .fragmentStoreRefused = [&console](const std::string& path) { console.FragmentStoreRefused(path); },
        .outputFailed = [this](const std::string& path, int error) { MarkOutputFailed(path, error); },
        .removeWhenHandedOff = [this](const std::string& path) { m_removeAfter.push_back(path); },
    };
}
