// A hand-off of their own for the decoder tests: a scratch data directory,
// attachment numbering in memory, and a reporter that records its lines.
#pragma once

#include <climits>
#include <string>
#include <vector>

#include "gateway/mime/decoder.h"
#include "tests/support/scratch_handoff_files.h"
#include "test_util.h"

namespace mimetest {

class CRecordingReporter : public mime::CDecodeReporter {
public:
    void DecodeWarning(const std::string& text) override { warnings.push_back(text); }
    void DecodeStatus(const std::string&) override {}
    void ErrorReport(const std::string& text, int error) override { errors.push_back(text); }
    void FragmentStoreRefused(const std::string& path) override { refused.push_back(path); }
    std::vector<std::string> warnings, errors, refused;
};

// The scratch folder, made before the files that live in it.
struct CFakeFilesDir {
    testutil::TempDir dir;
};

// Scratch files numbered without limit, with an attachment in-use flag that
// is released after releaseAfter pauses.
class CFakeFiles : private CFakeFilesDir, public testsupport::CScratchFiles {
public:
    CFakeFiles()
        : CScratchFiles(dir.path() + plat::kPathSep, INT_MAX, "ENV1"),
          root(dir.path() + plat::kPathSep),
          list(Out("~ATTC000.imp")) {
        plat::MakeDirectory((root + "OUT").c_str());
    }
    std::string Read(const std::string& name) const { return testutil::ReadAll(Out(name)); }

    bool IsAttFileNameInUse() override { return inUse; }
    int AllocateAttFileName(const char* ext) override {
        if (failAllocate) return 1;
        inUse = true;
        return CScratchFiles::AllocateAttFileName(ext);
    }
    void ReleaseAttFileName() override {
        inUse = false;
        ++releases;
    }
    void OutputFailed(const std::string& path, int) override { failed.push_back(path); }
    void Pause(uint32_t ms) override {
        pauses.push_back(ms);
        if (pauses.size() >= releaseAfter) inUse = false;
    }

    std::string root;
    std::string list;
    bool inUse = false;
    size_t releaseAfter = 1;
    std::vector<uint32_t> pauses;
    bool failAllocate = false;
    int releases = 0;
    std::vector<std::string> failed;  // outputs reported as not written
};

// Decodes a message held in memory as the hand-off does.
struct CDecodeRun {
    CFakeFiles files;
    CRecordingReporter reporter;
    mime::CMimeDecoder decoder{files, reporter};

    int Decode(const std::string& message) {
        mime::PartStream stream(message.data(), message.size());
        return decoder.DecodeMessage(stream, "text/plain", 0);
    }
    std::string Envelope() const { return files.Read("ENV1"); }
    std::string Body() const { return files.Read("Msgcnt.imp"); }
    std::string List() const { return testutil::ReadAll(files.list); }
};

// Points TMP at a scratch folder for the fragment directories.
class CScratchTmp {
public:
    std::string Store() const { return m_dir.path() + plat::kPathSep + "parts"; }
    std::string Parts(const std::string& name) const { return Store() + plat::kPathSep + name; }

private:
    testutil::TempDir m_dir;
    testutil::ScopedEnv m_tmp{"TMP", m_dir.path().c_str()};
};

}  // namespace mimetest
