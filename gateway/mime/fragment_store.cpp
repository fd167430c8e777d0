// Fragments of message/partial messages in files below TMP.
#include "gateway/mime/fragment_store.h"

#include <cstring>

#include "gateway/mime/decoder.h"
#include "gateway/mime/transfer.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/textfile.h"

namespace mime {

namespace {

constexpr size_t kMaxTmpPrefix = 200;
constexpr int kMaxIdCharacters = 11;
constexpr int kTotalLine = 1024;

const char kSafeIdCharacters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_^$~!#%&{}@`'()";

// The fragment folder of a message/partial id under TMP: its path ending in
// the separator, or false when it cannot be made.
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

// Copies one file into an open output, both in text mode.
bool AppendFile(const std::string& path, plat::CTextStream& out, int* error) {
    plat::CTextStream in;
    *error = in.Open(path.c_str(), "r");
    if (*error != 0) return false;
    char buffer[16384];
    int n;
    while ((n = in.Read(buffer, sizeof(buffer))) > 0) out.Write(buffer, n);
    return true;
}

// A fragment file as the output of the copy; a failed write stays marked on
// the file.
class CFileOutput : public CByteOutput {
public:
    explicit CFileOutput(plat::CTextStream& file) : m_file(file) {}
    void Write(const void* data, size_t length) override { m_file.Write(data, static_cast<int>(length)); }

private:
    plat::CTextStream& m_file;
};

}  // namespace

bool CFileFragmentStore::Open(const std::string& id, std::string* key, CDecodeSink& sink) {
    return PartialDirectory(id.c_str(), key, sink);
}

bool CFileFragmentStore::SetTotal(const std::string& key, int total, CDecodeSink& sink) {
    const std::string countPath = key + "CT";
    plat::CTextStream count;
    int error = count.Open(countPath.c_str(), "w");
    if (error != 0) {
        sink.ErrorReport(countPath, error);
        return false;
    }
    std::string line = std::to_string(total) + "\n";
    count.Write(line.data(), static_cast<int>(line.size()));
    return true;
}

std::string CFileFragmentStore::TotalLine(const std::string& key) {
    plat::CTextStream count;
    char line[kTotalLine];
    if (count.Open((key + "CT").c_str(), "r") == 0 && count.GetS(line, sizeof(line))) return line;
    return {};
}

int CFileFragmentStore::WriteFragment(const std::string& key, int number,
                                      const std::function<void(CByteOutput&)>& fill, CDecodeSink& sink) {
    const std::string fragmentPath = key + std::to_string(number);
    plat::CTextStream fragment;
    int error = fragment.Open(fragmentPath.c_str(), "w");
    if (error != 0) {
        sink.ErrorReport(fragmentPath, error);
        sink.OutputFailed(fragmentPath, error);
        return 1;
    }
    CFileOutput output(fragment);
    fill(output);
    if (fragment.Error() || fragment.Close() != 0) {  // a fragment cut short must not be joined
        sink.ErrorReport(fragmentPath, fragment.LastError());
        sink.OutputFailed(fragmentPath, fragment.LastError());
        return 2;
    }
    return 0;
}

bool CFileFragmentStore::HasFragment(const std::string& key, int number) {
    plat::CTextStream probe;
    return probe.Open((key + std::to_string(number)).c_str(), "r") == 0;
}

int CFileFragmentStore::Join(const std::string& key, int total, const std::function<void(PartStream&)>& decode,
                             CDecodeSink& sink) {
    const std::string fullPath = key + "FULL";
    {
        plat::CTextStream full;
        int error = full.Open(fullPath.c_str(), "w");
        if (error != 0) {
            sink.ErrorReport(fullPath, error);
            sink.OutputFailed(fullPath, error);
            return 1;
        }
        for (int n = 1; n <= total; ++n) {
            const std::string fragmentPath = key + std::to_string(n);
            if (!AppendFile(fragmentPath, full, &error)) {
                sink.ErrorReport(fragmentPath, error);
                return 1;
            }
        }
        if (full.Close() != 0) {
            sink.ErrorReport(fullPath, full.LastError());
            sink.OutputFailed(fullPath, full.LastError());
            return 1;
        }
    }
    {
        plat::CTextStream full;
        int error = full.Open(fullPath.c_str(), "r");
        if (error != 0) {
            sink.ErrorReport(fullPath, error);
            return 1;
        }
        PartStream joined(&full);
        decode(joined);
    }
    for (int n = 1; n <= total; ++n) sink.RemoveWhenHandedOff(key + std::to_string(n));
    sink.RemoveWhenHandedOff(fullPath);
    sink.RemoveWhenHandedOff(key + "CT");
    sink.RemoveWhenHandedOff(key);
    return 0;
}

void RemoveFragmentStorePath(const std::string& path) {
    if (!path.empty() && path.back() == plat::kPathSep)
        plat::RemoveDirectory(path.substr(0, path.size() - 1).c_str());
    else
        plat::RemoveFile(path.c_str());
}



}  // namespace mime
