// The decoder's input: a buffered reader over one message file that also
// carries the stack of open multipart boundaries. Its byte reader reports the
// end of the current body part (-1) at every delimiter line of an open
// multipart as well as at the end of the input, so that nothing above it
// needs to know about boundaries.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

namespace plat {
class CTextStream;
}

namespace mime {

constexpr int kMaxBoundary = 70;
// Large enough that the file is read in few calls.
constexpr int kInitialStreamBuffer = 65536;
// Room for a newline, two dashes and the longest boundary.
constexpr int kMinStreamBuffer = 3 + kMaxBoundary;

class PartStream {
public:
    // Reads from an open file (text mode, opened by the creator), or from a
    // block of memory that must outlive the stream, taken bufferSize bytes
    // (at least kMinStreamBuffer) at a time.
    explicit PartStream(plat::CTextStream* file);
    PartStream(const void* data, size_t length, int bufferSize = kInitialStreamBuffer);
    PartStream(const PartStream&) = delete;
    PartStream& operator=(const PartStream&) = delete;

    // Next byte 0..255, or -1 at the end of the part. A newline is where a
    // delimiter line may begin, so it always takes the slow path.
    int StreamGetByte() {
        if (m_count > 0 && *m_pos != '\n') {
            --m_count;
            return *m_pos++;
        }
        return GetByteSlow();
    }

    // Bytes that can be taken in one go, without a newline: a pointer to them
    // and their number (0 when the next byte must come from StreamGetByte).
    // TakeRun consumes the first n of them.
    int PeekRun(const unsigned char** data) const {
        *data = m_pos;
        if (m_count <= 0) return 0;
        const void* nl = std::memchr(m_pos, '\n', static_cast<size_t>(m_count));
        return nl ? static_cast<int>(static_cast<const unsigned char*>(nl) - m_pos) : m_count;
    }
    // Every buffered byte, newlines included (0 when the next byte must come
    // from StreamGetByte). A reader may take a newline among them itself
    // when PlainNewline says that no delimiter line can begin there; at any
    // other it stops and leaves that newline to StreamGetByte.
    int PeekBuffered(const unsigned char** data) const {
        *data = m_pos;
        return m_hit < m_depth || m_count <= 0 ? 0 : m_count;
    }
    // nl points at a newline among the bytes PeekBuffered gave.
    bool PlainNewline(const unsigned char* nl) const {
        return m_depth == 0 || (m_pos + m_count - nl >= 3 && (nl[1] != '-' || nl[2] != '-'));
    }
    void TakeRun(int n) {
        m_pos += n;
        m_count -= n;
    }

    // Reads up to size-1 bytes, stopping after a newline or at the end of the
    // part, and NUL-terminates. nullptr when size < 2 or nothing was read.
    char* StreamGetLine(char* buffer, int size) { return ReadLine(buffer, size) > 0 ? buffer : nullptr; }
    // The same, giving the number of bytes read (lines may hold NUL bytes).
    int ReadLine(char* buffer, int size);
    // Puts text back so that it is read again next.
    void StreamPushBack(const char* text, int length);
    void StreamPushBack(const char* text) { StreamPushBack(text, static_cast<int>(std::strlen(text))); }
    // Opens a multipart level (at most 70 characters of the boundary count)
    // and forgets any delimiter just reached at an enclosing level.
    void PushBoundary(const char* boundary);
    // After the reader stopped at a delimiter: consumes the delimiter line.
    // 0 when another body part follows at this level, 1 when the multipart
    // has ended (closing delimiter, an enclosing delimiter, end of input).
    int ReadDelimiter();
    int BoundaryDepth() const { return m_depth; }
    // Discards bytes up to the end of the part.
    int SkipPart();

private:
    int GetByteSlow();
    int ReadInput(unsigned char* to, int length);
    bool IsDelimiterAhead();
    void TopUp();

    plat::CTextStream* m_file = nullptr;
    const unsigned char* m_mem = nullptr;
    size_t m_memLeft = 0;

    std::unique_ptr<unsigned char[]> m_buffer;
    int m_bufferSize = 0;
    unsigned char* m_pos = nullptr;
    int m_count = 0;

    std::vector<std::array<char, kMaxBoundary + 1>> m_boundaries;
    std::vector<int> m_boundaryLengths;
    int m_depth = 0;
    int m_hit = 0;
};

}  // namespace mime
