#include "gateway/mime/part_stream.h"

#include "platform/textfile.h"

namespace mime {

namespace {
constexpr int kLookAhead = kMinStreamBuffer;
}  // namespace

PartStream::PartStream(plat::CTextStream* file)
    : m_file(file), m_buffer(std::make_unique_for_overwrite<unsigned char[]>(kInitialStreamBuffer)),
      m_bufferSize(kInitialStreamBuffer), m_pos(m_buffer.get()) {}

PartStream::PartStream(const void* data, size_t length, int bufferSize)
    : m_mem(static_cast<const unsigned char*>(data)), m_memLeft(length),
      m_bufferSize(bufferSize < kMinStreamBuffer ? kMinStreamBuffer : bufferSize) {
    m_buffer = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(m_bufferSize));
    m_pos = m_buffer.get();
}

int PartStream::ReadInput(unsigned char* to, int length) {
    if (length <= 0) return 0;
    if (m_file) {
        int n = m_file->Read(to, length);
        return n < 0 ? 0 : n;
    }
    size_t n = m_memLeft < static_cast<size_t>(length) ? m_memLeft : static_cast<size_t>(length);
    std::memcpy(to, m_mem, n);
    m_mem += n;
    m_memLeft -= n;
    return static_cast<int>(n);
}

int PartStream::GetByteSlow() {
    if (m_hit < m_depth) return -1;
    if (m_count <= 0) {
        m_pos = m_buffer.get();
        m_count = ReadInput(m_pos, m_bufferSize);
        if (m_count <= 0) {
            m_count = 0;
            m_hit = 0;  // every open multipart level ends here
            return -1;
        }
    }
    if (*m_pos == '\n' && m_depth > 0 && IsDelimiterAhead()) return -1;
    --m_count;
    return *m_pos++;
}

// Makes the look-ahead after a newline available, moving the unread bytes to
// the front of the buffer when too little room is left behind them.
void PartStream::TopUp() {
    unsigned char* start = m_buffer.get();
    if (m_pos != start && (start + m_bufferSize) - m_pos < kLookAhead) {
        std::memmove(start, m_pos, static_cast<size_t>(m_count));
        m_pos = start;
    }
    unsigned char* end = m_pos + m_count;
    m_count += ReadInput(end, static_cast<int>((start + m_bufferSize) - end));
}

// With the read position on a newline: is it the start of a delimiter line
// of one of the open multiparts? Sets the boundary hit when it is.
bool PartStream::IsDelimiterAhead() {
    if (m_count < 3 || (m_pos[1] == '-' && m_pos[2] == '-' && m_count < kLookAhead)) TopUp();
    if (m_count < 3 || m_pos[1] != '-' || m_pos[2] != '-') return false;
    const int after = m_count - 3;
    for (int i = 0; i < m_depth; ++i) {
        int len = m_boundaryLengths[i];
        if (len <= after && std::memcmp(m_pos + 3, m_boundaries[i].data(), static_cast<size_t>(len)) == 0) {
            m_hit = i;
            return true;
        }
    }
    return false;
}

int PartStream::ReadLine(char* buffer, int size) {
    if (size < 2) return 0;
    int n = 0;
    while (n < size - 1) {
        const unsigned char* run;
        int len = PeekRun(&run);
        if (len > 0) {
            if (len > size - 1 - n) len = size - 1 - n;
            std::memcpy(buffer + n, run, static_cast<size_t>(len));
            TakeRun(len);
            n += len;
            continue;
        }
        int c = StreamGetByte();
        if (c < 0) break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return n;
}

void PartStream::StreamPushBack(const char* text, int length) {
    if (length <= 0) return;
    unsigned char* start = m_buffer.get();
    const int need = length + m_count + 1;
    if (need > m_bufferSize) {
        auto bigger = std::make_unique_for_overwrite<unsigned char[]>(static_cast<size_t>(need));
        std::memcpy(bigger.get() + 1 + length, m_pos, static_cast<size_t>(m_count));
        m_buffer = std::move(bigger);
        m_bufferSize = need;
        start = m_buffer.get();
        m_pos = start + 1 + length;
    } else if (m_pos - start < length + 1) {
        std::memmove(start + 1 + length, m_pos, static_cast<size_t>(m_count));
        m_pos = start + 1 + length;
    }
    m_pos -= length;
    std::memcpy(m_pos, text, static_cast<size_t>(length));
    m_count += length;
}

void PartStream::PushBoundary(const char* boundary) {
    std::array<char, kMaxBoundary + 1> slot{};
    size_t len = std::strlen(boundary);
    if (len > static_cast<size_t>(kMaxBoundary)) len = kMaxBoundary;
    std::memcpy(slot.data(), boundary, len);
    // Slots above the depth are stale entries of levels already closed.
    m_boundaries.resize(static_cast<size_t>(m_depth));
    m_boundaryLengths.resize(static_cast<size_t>(m_depth));
    m_boundaries.push_back(slot);
    m_boundaryLengths.push_back(static_cast<int>(len));
    ++m_depth;
    m_hit = m_depth;
}

int PartStream::ReadDelimiter() {
    if (m_depth <= 0) return 1;
    if (m_hit < m_depth - 1) {
        --m_depth;  // an enclosing multipart handles that delimiter
        return 1;
    }
    if (m_count <= 0) return 1;
    int skip = 3 + m_boundaryLengths[static_cast<size_t>(m_depth - 1)];
    if (skip > m_count) skip = m_count;
    TakeRun(skip);
    m_hit = m_depth;
    int result = 0;
    int c = StreamGetByte();
    if (c == '\n') return 0;
    if (c == '-') {
        c = StreamGetByte();
        if (c == '-') {
            --m_depth;
            result = 1;
        } else if (c == '\n') {
            return 0;
        }
    }
    while (c != '\n' && c != -1) c = StreamGetByte();
    return result;
}

int PartStream::SkipPart() {
    for (;;) {
        const unsigned char* run;
        int len = PeekRun(&run);
        if (len > 0) {
            TakeRun(len);
            continue;
        }
        if (StreamGetByte() < 0) return 0;
    }
}

}  // namespace mime
