// Message/partial fragments kept in memory, for the decoder's tests and its
// fuzz target: the same store as the gateway's files, without the files.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "gateway/mime/decode_sink.h"
#include "gateway/mime/fragment_store.h"
#include "gateway/mime/part_stream.h"

namespace testsupport {

class CMemoryFragments final : public mime::CFragmentStore {
public:
    bool Open(const std::string& id, std::string* key, mime::CDecodeSink&) override { return *key = id, true; }
    bool SetTotal(const std::string& key, int total, mime::CDecodeSink&) override {
        return m_totals[key] = std::to_string(total) + "\n", true;
    }
    std::string TotalLine(const std::string& key) override { return m_totals.count(key) ? m_totals[key] : ""; }
    int WriteFragment(const std::string& key, int number, const std::function<void(mime::CByteOutput&)>& fill,
                      mime::CDecodeSink&) override {
        CStringOutput out;
        fill(out);
        m_fragments[{key, number}] = std::move(out.m_text);
        return 0;
    }
    bool HasFragment(const std::string& key, int number) override { return m_fragments.count({key, number}) != 0; }
    int Join(const std::string& key, int total, const std::function<void(mime::PartStream&)>& decode,
             mime::CDecodeSink&) override {
        std::string full;
        for (int n = 1; n <= total; ++n) full += m_fragments[{key, n}];
        mime::PartStream joined(full.data(), full.size());
        decode(joined);
        for (int n = 1; n <= total; ++n) m_fragments.erase({key, n});
        m_totals.erase(key);
        return 0;
    }

private:
    struct CStringOutput : mime::CByteOutput {
        void Write(const void* data, size_t length) override { m_text.append(static_cast<const char*>(data), length); }
        std::string m_text;
    };
    std::map<std::string, std::string> m_totals;
    std::map<std::pair<std::string, int>, std::string> m_fragments;
};

}  // namespace testsupport
