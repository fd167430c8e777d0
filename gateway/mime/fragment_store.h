// The message/partial store: the fragments of a message wait there, by the
// message's id, until all have arrived; then they are joined and decoded as
// one message. The gateway keeps them in files below TMP
// (CFileFragmentStore); tests and fuzzing may keep them in memory.
#pragma once

#include <functional>
#include <string>

namespace mime {

class CByteOutput;
class CDecodeSink;
class PartStream;

class CFragmentStore {
public:
    virtual ~CFragmentStore() = default;
    // The store of the message with this id; *key names it in the calls
    // below. False when it cannot be used (reported to the sink).
    virtual bool Open(const std::string& id, std::string* key, CDecodeSink& sink) = 0;
    // Keeps the number of fragments that a fragment gives, for those that
    // follow; false when it cannot be kept (reported).
    virtual bool SetTotal(const std::string& key, int total, CDecodeSink& sink) = 0;
    // The line an earlier fragment kept with SetTotal; empty when none.
    virtual std::string TotalLine(const std::string& key) = 0;
    // Keeps fragment number, whose bytes fill writes (replacing any earlier
    // one of that number): 0 when kept, 1 when it could not be begun (fill
    // is not called), 2 when it was not kept whole. Failures are reported.
    virtual int WriteFragment(const std::string& key, int number, const std::function<void(CByteOutput&)>& fill,
                              CDecodeSink& sink) = 0;
    virtual bool HasFragment(const std::string& key, int number) = 0;
    // Joins fragments 1 to total as one message and decodes it with decode:
    // 0 when decoded, 1 when it could not be joined (reported). The
    // fragments then go (from files: once the message is handed off).
    virtual int Join(const std::string& key, int total, const std::function<void(PartStream&)>& decode,
                     CDecodeSink& sink) = 0;
};

// Fragments in files: <TMP>/parts/<id>/ holds a file for each number, "CT"
// with the total and "FULL" for the joined message. The folder parts must be
// this account's own.
class CFileFragmentStore final : public CFragmentStore {
public:
    bool Open(const std::string& id, std::string* key, CDecodeSink& sink) override;
    bool SetTotal(const std::string& key, int total, CDecodeSink& sink) override;
    std::string TotalLine(const std::string& key) override;
    int WriteFragment(const std::string& key, int number, const std::function<void(CByteOutput&)>& fill,
                      CDecodeSink& sink) override;
    bool HasFragment(const std::string& key, int number) override;
    int Join(const std::string& key, int total, const std::function<void(PartStream&)>& decode,
             CDecodeSink& sink) override;
};

}  // namespace mime
