// A hand-off of their own for the decoder tests: a scratch data directory,
// attachment numbering in memory, and a reporter that records its lines.
#pragma once

#include <string>
#include <vector>

#include "gateway/mime/decoder.h"
#include "test_util.h"

namespace mimetest {

class CRecordingReporter : public mime::CDecodeReporter {
public:
    void DecodeWarning(const std::string& text) override { warnings.push_back(text); }
    void DecodeStatus(const std::string&) override {}
    void ErrorReport(const std::string& text, int error) override { errors.push_back(text); }
    std::vector<std::string> warnings, errors;
};

class CFakeFiles : public mime::CHandoffFiles {
public:
    CFakeFiles() {
        root = dir.path() + plat::kPathSep;
        plat::MakeDirectory((root + "OUT").c_str());
        list = Out("~ATTC000.imp");
    }
    std::string Out(const std::string& name) const { return root + "OUT" + plat::kPathSep + name; }
    std::string Read(const std::string& name) const { return testutil::ReadAll(Out(name)); }

    bool GetNewFileName(std::string* path) override {
        *path = Out("ENV1");
        return true;
    }
    bool GetMsgFileName(std::string* path) override {
        *path = Out("Msgcnt.imp");
        return true;
    }
    bool GetRootPath(std::string* path) override {
        *path = root;
        return true;
    }
    bool GetAttachmentList(std::string* path) override {
        *path = list;
        return true;
    }
    bool IsAttFileNameInUse() override { return inUse; }
    int AllocateAttFileName(const char* ext) override {
        attName = "ATT" + std::to_string(next++) + "." + ext;
        inUse = true;
        return 0;
    }
    bool GetAttFileName(std::string* name) override {
        *name = attName;
        return true;
    }
    void ReleaseAttFileName() override { inUse = false; }
    void Pause(uint32_t ms) override {
        pauses.push_back(ms);
        if (pauses.size() >= releaseAfter) inUse = false;
    }

    testutil::TempDir dir;
    std::string root;
    std::string list;
    std::string attName;
    int next = 0;
    bool inUse = false;
    size_t releaseAfter = 1;
    std::vector<uint32_t> pauses;
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
    std::string Parts(const std::string& name) const {
        return m_dir.path() + plat::kPathSep + "parts" + plat::kPathSep + name;
    }

private:
    testutil::TempDir m_dir;
    testutil::ScopedEnv m_tmp{"TMP", m_dir.path().c_str()};
};

}  // namespace mimetest
