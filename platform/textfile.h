// Buffered file streams with the runtime library's modes ("r", "w", "a",
// "a+", "rb", "wb", "r+b", "w+b"). Text mode is done here, the same on both
// systems: writing stores "\n" as CR LF; reading turns CR LF into "\n" and
// leaves a lone CR as it is; a Ctrl-Z byte is data. So the files the gateway
// writes are byte-identical on Windows and Linux.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"

namespace plat {

class CTextStream {
public:
    CTextStream() = default;
    ~CTextStream() { Close(); }
    CTextStream(const CTextStream&) = delete;
    CTextStream& operator=(const CTextStream&) = delete;

    // 0 on success, else the system error code (the stream stays closed).
    int Open(const char* path, const char* mode);
    // Closes, flushing pending writes; 0 on success.
    int Close();
    bool IsOpen() const { return m_file.IsOpen(); }

    // Next byte 0..255 or -1 at end of file or error.
    int GetC() {
        if (m_inPos < m_inLen) {
            unsigned char c = m_in[m_inPos];
            if (c != '\r' || !m_text) {
                ++m_inPos;
                return c;
            }
        }
        return GetCSlow();
    }
    // Reads up to size-1 bytes, stopping after "\n"; NUL-terminates. Returns
    // buf, or nullptr when nothing was read (or size < 2).
    char* GetS(char* buf, int size);
    // Reads up to len bytes (after text translation); bytes read.
    int Read(void* buf, int len);

    // 0 on success, -1 on error.
    int PutC(int c) {
        if (!m_write || m_inLen != 0 || m_out.size() >= kFlushAt) return PutCSlow(c);
        if (c == '\n' && m_text) m_out.push_back('\r');
        m_out.push_back(static_cast<char>(c));
        return 0;
    }
    int PutS(const char* text);
    // Writes len bytes (each "\n" as CR LF in text mode); bytes taken or -1.
    int Write(const void* data, int len);
    int Flush();
    // Flushes and forces the data to stable storage.
    int Sync();
    bool Error() const { return m_error; }
    // Last error code of a failed open or write.
    int LastError() const { return m_lastError; }
    // Repositions to the start (flushes pending writes first).
    int Rewind();

private:
    static constexpr size_t kFlushAt = 65536;
    int GetCSlow();
    int PutCSlow(int c);
    int Fill();
    int ReadDirect(unsigned char* out, int len);
    int FlushWrite();
    int PrepareWrite();

    CFile m_file;
    bool m_text = true;
    bool m_write = false;
    bool m_read = false;
    bool m_append = false;
    bool m_error = false;
    bool m_eof = false;
    int m_lastError = 0;
    // read side
    unsigned char m_in[4096];
    int m_inPos = 0;
    int m_inLen = 0;
    // write side
    std::string m_out;
};

}  // namespace plat
