#include "gateway/smtp_in/handoff.h"

#include <cstring>
#include <vector>

#include "common/settings_names.h"
#include "gateway/mime/decoder.h"
#include "gateway/mime/part_stream.h"
#include "gateway/service/diag.h"
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

// The bare names listed in an attachment-list file.
std::vector<std::string> ListedAttachments(const std::string& listPath) {
    std::vector<std::string> names;
    plat::CTextStream list;
    if (list.Open(listPath.c_str(), "r") != 0) return names;
    std::string line;
    int c;
    while ((c = list.GetC()) >= 0) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        size_t end = line.rfind(">>");
        size_t colon = line.rfind(':', end);
        if (end != std::string::npos && colon != std::string::npos) names.push_back(line.substr(colon + 1, end - colon - 1));
        line.clear();
    }
    return names;
}

}  // namespace

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
        if (GetAttchFileName(&m_listPath) != 0 || !CreateEmpty(m_listPath)) {
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

void CHandoff::ReleaseFileName() { m_key.SetDword(qlsmtp::kValFileNameUse, 0); }

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
    WriteAllocation(m_key, qlsmtp::kValOUTIndex, qlsmtp::NextCounter(n), qlsmtp::kValFileName, path,
                    qlsmtp::kValFileNameUse);
    m_envPath = path;
    return 0;
}

bool CHandoff::GetNewFileName(std::string* path) {
    if (m_envPath.empty()) return false;
    *path = m_envPath;
    return true;
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
    WriteAllocation(m_key, qlsmtp::kValOUTIndexAtt, qlsmtp::NextCounter(n), qlsmtp::kValFileNameAtt, name,
                    qlsmtp::kValFileNameUseAtt);
    m_attName = name;
    return 0;
}

bool CHandoff::GetAttFileName(std::string* name) {
    if (m_attName.empty()) return false;
    *name = m_attName;
    return true;
}

void CHandoff::ReleaseAttFileName() { m_key.SetDword(qlsmtp::kValFileNameUseAtt, 0); }

void CHandoff::Pause(uint32_t ms) { plat::SleepMs(ms); }

// Undoes a hand-off that cannot be completed: the message will be handed
// off again from its raw file.
void CHandoff::Discard() {
    std::string root;
    if (!m_listPath.empty()) {
        if (GetRootPath(&root)) {
            for (const std::string& name : ListedAttachments(m_listPath))
                plat::RemoveFile((OutFolder(root) + name).c_str());
        }
        plat::RemoveFile(m_listPath.c_str());
    }
    plat::RemoveFile(m_envPath.c_str());
    if (!m_bodyPath.empty()) plat::RemoveFile(m_bodyPath.c_str());
    plat::RemoveFile(m_msgPath.c_str());
    ReleaseFileName();
}

int CHandoff::Translate(const char* rawPath) {
    while (IsFileNameInUse()) Pause(kInUsePollMs);

    if (!GetMsgFileName(&m_msgPath) || !CreateEmpty(m_msgPath)) {
        DLOG("Unable to open message file for writing");
        return 1;
    }
    DLOGF("\nGetMsgFileName : %s\r\n", m_msgPath.c_str());
    if (AllocateEnvFileName() != 0) {
        DLOG("Unable to open new file for writing");
        plat::RemoveFile(m_msgPath.c_str());
        return 3;
    }
    DLOG("Get the New File for writing the translated output.\r\n");
    DLOGF("GetNewFileName before Open: %s\r\n", m_envPath.c_str());
    if (!CreateEmpty(m_envPath)) {
        DLOG("Unable to open new file for writing");
        ReleaseFileName();
        plat::RemoveFile(m_msgPath.c_str());
        return 3;
    }

    {
        plat::CTextStream raw;
        if (raw.Open(rawPath, "r") == 0) {
            mime::PartStream stream(&raw);  // the attachment list is made by the first attachment
            mime::CMimeDecoder decoder(*this, mime::CConsoleReporter::Instance());
            decoder.DecodeMessage(stream, "text/plain", 0);
        } else {
            DLOG("Unable to open translation ip file.\r\n");
        }
    }

    // An attachment that had no list to go in was not saved: the message is
    // handed off again at the next start rather than without it.
    if (m_listFailed) {
        Discard();
        return 2;
    }

    plat::CTextStream envelope;
    int error = envelope.Open(m_envPath.c_str(), "a+");
    if (error != 0) {
        mime::CConsoleReporter::Instance().ErrorReport("Unable to open output file for writing", error);
        Discard();
        return 4;
    }

    // The body file takes the envelope's name with ".bdy".
    std::string root;
    if (!GetRootPath(&root)) {
        envelope.Close();
        Discard();
        return 4;
    }
    const std::string bodyName = m_envName + ".bdy";
    m_bodyPath = OutFolder(root) + bodyName;
    DLOGF("GetMsgFileName MsgFlname: %s\r\n", m_msgPath.c_str());
    DLOGF("GetRootPath RootPath: %s\r\n", root.c_str());
    // The body scratch file becomes the body file: renamed in the same
    // folder, copied only where that fails (a body file of that name left).
    if (plat::RenameFile(m_msgPath.c_str(), m_bodyPath.c_str()) != 0 &&
        plat::CopyFile(m_msgPath.c_str(), m_bodyPath.c_str(), true) != 0) {
        envelope.Close();
        Discard();
        return 4;
    }
    std::string block = "\nBEGIN BODY\n<<" + bodyName + ">>\nEND BODY\n\n";

    // The attachment block: every complete line of the attachment list.
    plat::CTextStream list;
    if (!m_listPath.empty() && list.Open(m_listPath.c_str(), "r") == 0) {
        std::string lines, line;
        int c;
        while ((c = list.GetC()) >= 0) {
            line += static_cast<char>(c);
            if (c != '\n') continue;
            lines += line;
            line.clear();
        }
        if (!lines.empty()) block += "BEGIN ATTACH\n" + lines + "END ATTACH\n";
        list.Close();
    }
    envelope.Write(block.data(), static_cast<int>(block.size()));
    if (envelope.Close() != 0) {
        Discard();
        return 4;
    }

    if (plat::RenameFile(m_envPath.c_str(), (m_envPath + ".tmp").c_str()) != 0) {
        Discard();
        return 5;
    }
    if (!m_listPath.empty()) plat::RemoveFile(m_listPath.c_str());
    plat::RemoveFile(m_msgPath.c_str());
    ReleaseFileName();
    return 0;
}

int TranslateReceivedMessage(std::mutex& handoffLock, const char* rawPath) {
    std::lock_guard<std::mutex> guard(handoffLock);
    CHandoff handoff;
    return handoff.Translate(rawPath);
}
