// Buffered streams with a text mode of our own, so that the files are the
// same bytes on Windows and Linux.
#include "platform/textfile.h"

#include <cstring>

#include "platform/word_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plat {

int CTextStream::Open(const char* path, const char* mode) {
    Close();
    m_text = std::strchr(mode, 'b') == nullptr;
    bool plus = std::strchr(mode, '+') != nullptr;
    FileMode fm;
    switch (mode[0]) {
        case 'r':
            fm = plus ? kOpenReadWrite : kOpenRead;
            m_read = true;
            m_write = plus;
            break;
        case 'w':
            fm = kCreateTruncRW;
            m_write = true;
            m_read = plus;
            break;
        case 'a':
            fm = kOpenAppend;
            m_write = true;
            m_append = true;
            m_read = plus;
            break;
        default:
            m_lastError = 87;  // invalid parameter
            return m_lastError;
    }
    m_error = false;
    m_eof = false;
    m_inPos = m_inLen = 0;
    m_out.clear();
    int r = m_file.Open(path, fm);
    if (r != 0) {
        m_lastError = r;
        m_read = m_write = m_append = false;
    }
    return r;
}

int CTextStream::Close() {
    if (!m_file.IsOpen()) return 0;
    int r = FlushWrite();
    int c = m_file.Close();
    m_read = m_write = m_append = false;
    m_inPos = m_inLen = 0;
    m_out.clear();
    m_out.shrink_to_fit();
    return (r != 0 || c != 0) ? -1 : 0;
}

int CTextStream::Fill() {
    if (!m_read || m_eof) return 0;
    if (!m_out.empty() && FlushWrite() != 0) return -1;
    int n = m_file.Read(m_in, sizeof(m_in));
    if (n <= 0) {
        if (n < 0) m_error = true;
        m_eof = true;
        m_inPos = m_inLen = 0;
        return n < 0 ? -1 : 0;
    }
    m_inPos = 0;
    m_inLen = n;
    return n;
}

int CTextStream::GetCSlow() {
    if (m_inPos >= m_inLen && Fill() <= 0) return -1;
    unsigned char c = m_in[m_inPos++];
    if (c == '\r' && m_text) {
        if (m_inPos >= m_inLen && Fill() <= 0) return '\r';
        if (m_in[m_inPos] == '\n') {
            ++m_inPos;
            return '\n';
        }
    }
    return c;
}

char* CTextStream::GetS(char* buf, int size) {
    if (size < 2) return nullptr;
    int n = 0;
    while (n < size - 1) {
        int c = GetC();
        if (c < 0) break;
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (n == 0) return nullptr;
    buf[n] = '\0';
    return buf;
}

// A large read with nothing buffered goes straight into the caller's
// buffer; text mode then joins CR LF pairs in place. A CR at the very end
// waits in the stream's buffer until the next byte shows whether it ends a
// line.
int CTextStream::ReadDirect(unsigned char* out, int len) {
    int got = m_file.Read(out, len);
    if (got <= 0) {
        if (got < 0) m_error = true;
        m_eof = true;
        return 0;
    }
    if (!m_text) return got;
    const void* first = std::memchr(out, '\r', static_cast<size_t>(got));
    if (!first) return got;
    // CR LF becomes LF in place. The runs between carriage returns (a line,
    // mostly) move eight bytes at a time while no CR is among them.
    unsigned char* w = static_cast<unsigned char*>(const_cast<void*>(first));
    const unsigned char* r = w;
    const unsigned char* end = out + got;
    while (r < end) {
        if (*r == '\r') {
            if (r + 1 == end) {
                m_in[0] = '\r';
                m_inPos = 0;
                m_inLen = 1;
                break;
            }
            *w++ = r[1] == '\n' ? '\n' : '\r';
            r += r[1] == '\n' ? 2 : 1;
            continue;
        }
#if defined(__SSE2__)
        // Sixteen at a time where the processor has the instructions; where a
        // CR is among them, the bytes before it are moved and the CR taken
        // above.
        const __m128i crs = _mm_set1_epi8('\r');
        while (end - r >= 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r));
            const int found = _mm_movemask_epi8(_mm_cmpeq_epi8(v, crs));
            if (found) {
                const int before = __builtin_ctz(static_cast<unsigned>(found));
                std::memmove(w, r, static_cast<size_t>(before));
                w += before;
                r += before;
                break;
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(w), v);  // w never runs ahead of r
            w += 16;
            r += 16;
        }
        if (r < end && *r == '\r') continue;
#endif
        while (end - r >= 8) {
            uint64_t x;
            std::memcpy(&x, r, 8);
            if (BytesEqual(x, '\r')) break;  // a CR among the eight
            std::memcpy(w, &x, 8);  // w never runs ahead of r: no unread byte is overwritten
            w += 8;
            r += 8;
        }
        while (r < end && *r != '\r') *w++ = *r++;
    }
    return static_cast<int>(w - out);
}

int CTextStream::Read(void* buf, int len) {
    unsigned char* out = static_cast<unsigned char*>(buf);
    int n = 0;
    while (n < len) {
        if (m_inPos >= m_inLen && len - n >= static_cast<int>(sizeof(m_in)) && m_read && !m_eof &&
            m_out.empty()) {
            int got = ReadDirect(out + n, len - n);
            n += got;
            if (m_eof) break;
            continue;
        }
        if (m_inPos >= m_inLen && Fill() <= 0) break;
        // Copy the run up to the next CR in one piece; a CR goes through
        // GetC, which joins it with a following LF.
        int avail = m_inLen - m_inPos;
        if (avail > len - n) avail = len - n;
        const unsigned char* src = m_in + m_inPos;
        const void* cr = m_text ? std::memchr(src, '\r', static_cast<size_t>(avail)) : nullptr;
        int run = cr ? static_cast<int>(static_cast<const unsigned char*>(cr) - src) : avail;
        std::memcpy(out + n, src, static_cast<size_t>(run));
        n += run;
        m_inPos += run;
        if (cr && n < len) {
            int c = GetC();
            if (c < 0) break;
            out[n++] = static_cast<unsigned char>(c);
        }
    }
    return n;
}

// Drops read-ahead so that writes land where the reader stands.
int CTextStream::PrepareWrite() {
    if (!m_write) return -1;
    if (m_inLen != 0) {
        if (!m_append && m_inPos < m_inLen) m_file.Seek(m_inPos - m_inLen, 1);
        m_inPos = m_inLen = 0;
    }
    m_eof = false;
    return 0;
}

int CTextStream::PutCSlow(int c) {
    if (PrepareWrite() != 0) return -1;
    if (m_out.size() >= kFlushAt && FlushWrite() != 0) return -1;
    if (c == '\n' && m_text) m_out.push_back('\r');
    m_out.push_back(static_cast<char>(c));
    return 0;
}

int CTextStream::Write(const void* data, int len) {
    if (len < 0 || PrepareWrite() != 0) return -1;
    const char* p = static_cast<const char*>(data);
    if (!m_text) {
        m_out.append(p, static_cast<size_t>(len));
    } else {
        const char* end = p + len;
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (!nl) {
                m_out.append(p, static_cast<size_t>(end - p));
                break;
            }
            m_out.append(p, static_cast<size_t>(nl - p));
            m_out.append("\r\n", 2);
            p = nl + 1;
        }
    }
    if (m_out.size() >= kFlushAt && FlushWrite() != 0) return -1;
    return len;
}

int CTextStream::PutS(const char* text) {
    return Write(text, static_cast<int>(std::strlen(text))) < 0 ? -1 : 0;
}

int CTextStream::FlushWrite() {
    size_t done = 0;
    while (done < m_out.size()) {
        size_t chunk = m_out.size() - done;
        if (chunk > (1u << 30)) chunk = 1u << 30;
        int n = m_file.Write(m_out.data() + done, static_cast<int>(chunk));
        if (n <= 0) {
            m_error = true;
            m_lastError = 28;  // treat a short write as a full disk
            m_out.clear();
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    m_out.clear();
    return 0;
}

int CTextStream::Flush() { return m_file.IsOpen() ? FlushWrite() : -1; }

int CTextStream::Sync() {
    if (Flush() != 0) return -1;
    return m_file.Sync() == 0 ? 0 : -1;
}

int CTextStream::Rewind() {
    if (!m_file.IsOpen()) return -1;
    if (FlushWrite() != 0) return -1;
    m_inPos = m_inLen = 0;
    m_eof = false;
    return m_file.Seek(0, 0) < 0 ? -1 : 0;
}

}  // namespace plat
