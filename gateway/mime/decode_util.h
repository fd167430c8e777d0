// Small helpers shared by the whole MIME decoder: ASCII case-insensitive
// comparison, the warning and status outputs, and the allocation policy.
#pragma once

#include <cstddef>
#include <string>

namespace mime {

// Ordering comparison after mapping a-z to A-Z; nothing else is folded.
int CaseCompare(const char* a, const char* b);
// The same over at most n characters.
int CaseCompareN(const char* a, const char* b, size_t n);

inline bool IsBlank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
inline bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Where decoded content goes.
class CByteOutput {
public:
    virtual ~CByteOutput() = default;
    virtual void Write(const void* data, size_t length) = 0;
};

// Where the decoder's warnings, status lines and error reports go.
class CDecodeReporter {
public:
    virtual ~CDecodeReporter() = default;
    // "qlsmtpgw: warning: <text>\n" on standard error.
    virtual void DecodeWarning(const std::string& text) = 0;
    // "<text>\n" on standard output.
    virtual void DecodeStatus(const std::string& text) = 0;
    // "<text>: <system text of error>\n" on standard error.
    virtual void ErrorReport(const std::string& text, int error) = 0;
    // The message/partial fragment store at path is not safe to use: a
    // symbolic link or another account's folder (an event-log entry).
    virtual void FragmentStoreRefused(const std::string& path) {}
};

// The console reporter. Lines are queued and written by a background thread,
// so a slow or stuck reader of standard output or standard error never holds
// up decoding; when the queue is full further lines are dropped.
class CConsoleReporter : public CDecodeReporter {
public:
    void DecodeWarning(const std::string& text) override;
    void DecodeStatus(const std::string& text) override;
    void ErrorReport(const std::string& text, int error) override;
    void FragmentStoreRefused(const std::string& path) override;
    static CConsoleReporter& Instance();
};

// Queues text for standard output (toStdErr false) or standard error.
void ConsoleWrite(bool toStdErr, const char* text, size_t length);

// Makes an allocation failure anywhere in the process write "Memory
// exhausted\n" to standard error and end the process with status 1. Called
// once at the start of the program.
void InstallMemoryExhaustedHandler();

}  // namespace mime
