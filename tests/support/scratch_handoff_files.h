// The decoder's file names in a scratch data directory, without the settings
// store, and a reporter that keeps nothing: for the decoder's benchmark and
// fuzz targets.
#pragma once

#include <cstdint>
#include <string>

#include "gateway/mime/decoder.h"
#include "platform/file.h"

namespace testsupport {

// Drops every warning, status line and error.
class CNullReporter : public mime::CDecodeReporter {
public:
    void DecodeWarning(const std::string&) override {}
    void DecodeStatus(const std::string&) override {}
    void ErrorReport(const std::string&, int) override {}
};

class CScratchFiles : public mime::CHandoffFiles {
public:
    // root ends in the path separator; attachment numbers run 0..names-1.
    explicit CScratchFiles(const std::string& root, int names = 1, const char* envelope = "ENV0")
        : m_root(root), m_names(names), m_envelope(envelope) {}
    std::string Out(const std::string& name) const { return m_root + "OUT" + plat::kPathSep + name; }
    bool GetNewFileName(std::string* path) override {
        *path = Out(m_envelope);
        return true;
    }
    bool GetMsgFileName(std::string* path) override {
        *path = Out("Msgcnt.imp");
        return true;
    }
    bool GetRootPath(std::string* path) override {
        *path = m_root;
        return true;
    }
    bool GetAttachmentList(std::string* path) override {
        *path = Out("~ATTC000.imp");
        return true;
    }
    bool IsAttFileNameInUse() override { return false; }
    int AllocateAttFileName(const char* ext) override {
        attName = "ATT" + std::to_string(next++ % m_names) + "." + ext;
        return 0;
    }
    bool GetAttFileName(std::string* name) override {
        *name = attName;
        return true;
    }
    void ReleaseAttFileName() override {}
    void Pause(uint32_t) override {}

    std::string attName;  // the last name allocated
    int next = 0;         // names allocated so far

private:
    std::string m_root;
    int m_names;
    const char* m_envelope;
};

}  // namespace testsupport
