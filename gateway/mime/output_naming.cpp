// Where decoded leaf entities end up: plain text in the body scratch file,
// everything else in numbered attachment files listed for the envelope; and
// the names of the message/partial fragment directories.
#include <cstring>

#include "gateway/mime/decoder.h"
#include "gateway/mime/transfer.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/textfile.h"

namespace mime {

namespace {

constexpr uint32_t kInUsePollMs = 25000;
constexpr size_t kMaxTmpPrefix = 200;
constexpr int kMaxIdCharacters = 11;

const char kSafeIdCharacters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_^$~!#%&{}@`'()";

}  // namespace

int CMimeDecoder::SaveBodyText(PartStream& stream, int code) {
    std::string path;
    m_files.GetMsgFileName(&path);
    plat::CTextStream out;
    int error = out.Open(path.c_str(), "a+");
    if (error != 0) {
        m_reporter.ErrorReport("tempdesc.txt", error);
        m_files.OutputFailed(path, error);
        stream.SkipPart();
        return 1;
    }
    if (DecodeBody(stream, out, code, nullptr, true, m_reporter) != 0 || out.Close() != 0) {
        m_reporter.ErrorReport(path, out.LastError());
        m_files.OutputFailed(path, out.LastError());
    }
    return 0;
}

int CMimeDecoder::SaveAttachment(PartStream& stream, bool isText, const char* given, int code, const char* md5) {
    const bool binary = !isText && code == kEncodingBase64;
    const std::string givenName = given ? given : "";

    if (!*stream.AttachmentListPath()) {
        std::string list;
        if (!m_files.GetAttachmentList(&list)) {  // nowhere to list it: not saved
            stream.SkipPart();
            return 1;
        }
        stream.SetAttachmentListPath(list.c_str());
    }
    while (m_files.IsAttFileNameInUse()) m_files.Pause(kInUsePollMs);
    std::string ext = AttachmentExtension(givenName.c_str());
    std::string name, root;
    if (m_files.AllocateAttFileName(ext.c_str()) != 0) {
        // No name was taken, so the in-use flag is not this saver's to clear.
        m_files.OutputFailed("ATT", 0);
        stream.SkipPart();
        return 1;
    }
    if (!m_files.GetAttFileName(&name) || !m_files.GetRootPath(&root)) {
        m_files.OutputFailed("ATT", 0);
        stream.SkipPart();
        m_files.ReleaseAttFileName();
        return 1;
    }

    std::string path = root + "OUT" + plat::kPathSep + name;
    plat::CTextStream out;
    int error = out.Open(path.c_str(), binary ? "wb" : "w");
    if (error != 0) {
        m_files.OutputFailed(path, error);
        stream.SkipPart();
        m_files.ReleaseAttFileName();
        return 1;
    }
    // Listed only once the file exists, so the envelope never names a
    // missing attachment. An attachment that cannot be listed would be
    // lost to the fax server: the hand-off fails.
    plat::CTextStream list;
    error = list.Open(stream.AttachmentListPath(), "a+");
    if (error == 0) {
        std::string line = "<<" + ListedName(givenName.c_str()) + ":" + name + ">>\n";
        if (list.Write(line.data(), static_cast<int>(line.size())) != static_cast<int>(line.size()) ||
            list.Close() != 0)
            m_files.OutputFailed(stream.AttachmentListPath(), list.LastError());
    } else {
        m_reporter.ErrorReport("Unable to open out file for write", error);
        m_files.OutputFailed(stream.AttachmentListPath(), error);
    }
    std::string digest;
    const bool written = DecodeBody(stream, out, code, &digest, isText, m_reporter) == 0 && out.Close() == 0;
    if (!written) {
        m_reporter.ErrorReport(path, out.LastError());
        m_files.OutputFailed(path, out.LastError());
    }
    if (md5 && !DigestMatches(digest, md5)) WarnCorrupted(path.c_str(), m_reporter);
    m_files.ReleaseAttFileName();
    return 0;
}

std::string AttachmentExtension(const char* givenName) {
    std::string ext;
    const char* dot = std::strchr(givenName, '.');
    if (!dot) return ext;
    // Only harmless characters: the extension becomes part of a file name.
    for (const char* p = dot + 1; *p && p < dot + 4; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (IsAsciiAlnum(c) || c == '-' || c == '_') ext += static_cast<char>(c);
    }
    return ext;
}

std::string ListedName(const char* givenName) {
    std::string name = givenName;
    for (char& c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == ':' || c == '<' || c == '>') c = '_';
    }
    return name;
}

bool IsReservedDeviceName(const char* name) {
    static const char* const kThree[] = {"aux", "con", "nul", "prn"};
    static const char* const kFour[] = {"com1", "com2", "com3", "com4", "lpt1", "lpt2", "lpt3"};
    size_t n = std::strlen(name);
    if (n == 3) {
        for (const char* r : kThree)
            if (CaseCompare(name, r) == 0) return true;
    } else if (n == 4) {
        for (const char* r : kFour)
            if (CaseCompare(name, r) == 0) return true;
    }
    return false;
}

bool PartialDirectory(const char* id, std::string* path, CDecodeReporter& reporter) {
    std::string dir;
    if (plat::GetEnv("TMP", &dir)) {
        if (dir.size() > kMaxTmpPrefix) dir.resize(kMaxTmpPrefix);
    } else {
        dir = std::string(1, plat::kPathSep) + "tmp";
        plat::MakeDirectory(dir.c_str());
    }
    dir += plat::kPathSep;
    dir += "parts";
    // The store lies in a folder that everyone can write: it must be this
    // account's own, or another user could read every fragment and plant
    // fragments that a later mail completes.
    int error = plat::MakePrivateDirectory(dir.c_str());
    if (error == plat::kErrUnsafeFolder) {
        reporter.FragmentStoreRefused(dir);
        return false;
    }

    std::string name;
    int accepted = 0;
    for (const char* p = id; *p && accepted < kMaxIdCharacters; ++p) {
        if (!std::strchr(kSafeIdCharacters, *p)) continue;
        if (accepted == 8) name += '.';
        name += *p;
        ++accepted;
    }
    if (name.empty() || IsReservedDeviceName(name.c_str())) name += 'x';
    dir += plat::kPathSep;
    dir += name;
    error = plat::MakeDirectory(dir.c_str());
    if (error != 0 && error != plat::kErrAlreadyExists && !plat::IsDirectory(dir.c_str())) {
        reporter.ErrorReport(dir, error);
        return false;
    }
    dir += plat::kPathSep;
    *path = dir;
    return true;
}

void CHandoffFiles::RemoveWhenHandedOff(const std::string& path) {
    if (!path.empty() && path.back() == plat::kPathSep)
        RemovePartialDirectory(path);
    else
        plat::RemoveFile(path.c_str());
}

int RemovePartialDirectory(const std::string& path) {
    if (path.empty()) return 1;
    return plat::RemoveDirectory(path.substr(0, path.size() - 1).c_str());
}

}  // namespace mime
