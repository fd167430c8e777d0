// The decoder's file names in a scratch data directory, without the settings
// store: for the decoder's benchmark and fuzz target.
#pragma once

#include <cstdint>
#include <string>

#include "gateway/mime/decoder.h"
#include "platform/file.h"

namespace testsupport {

class CScratchFiles : public mime::CHandoffFiles {
public:
    // root ends in the path separator; attachment numbers run 0..names-1.
    explicit CScratchFiles(const std::string& root, unsigned names = 1) : m_root(root), m_names(names) {}
    std::string Out(const std::string& name) const { return m_root + "OUT" + plat::kPathSep + name; }
    bool GetNewFileName(std::string* path) override {
        *path = Out("ENV0");
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
        m_name = "ATT" + std::to_string(m_next++ % m_names) + "." + ext;
        return 0;
    }
    bool GetAttFileName(std::string* name) override {
        *name = m_name;
        return true;
    }
    void ReleaseAttFileName() override {}
    void Pause(uint32_t) override {}

private:
    std::string m_root;
    unsigned m_names;
    std::string m_name;
    unsigned m_next = 0;
};

}  // namespace testsupport
