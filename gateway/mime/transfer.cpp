#include "gateway/mime/transfer.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "gateway/mime/decode_util.h"
#include "gateway/mime/md5.h"
#include "gateway/mime/part_stream.h"
#include "platform/word_scan.h"

namespace mime {

namespace {

constexpr unsigned char kNotBase64 = 0xFF;
constexpr unsigned char kPad = 64;  // '='

struct Base64Table {
    unsigned char value[256];
    constexpr Base64Table() : value() {
        const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 256; ++i) value[i] = kNotBase64;
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
        value[static_cast<unsigned char>('=')] = kPad;
    }
};
constexpr Base64Table kBase64;

// For a quantum of four characters: each character's six bits where they go
// in the three decoded bytes (the first byte lowest), one table for each
// place in the quantum. A byte that is not of the alphabet sets bit 24.
struct Base64QuantumTables {
    uint32_t place[4][256];
    constexpr Base64QuantumTables() : place() {
        for (int c = 0; c < 256; ++c) {
            const uint32_t v = kBase64.value[c];
            if (v >= 64) {
                for (auto& table : place) table[c] = 1u << 24;
                continue;
            }
            place[0][c] = v << 2;
            place[1][c] = (v >> 4) | ((v & 15) << 12);
            place[2][c] = ((v >> 2) << 8) | ((v & 3) << 22);
            place[3][c] = v << 16;
        }
    }
};
constexpr Base64QuantumTables kQuantum;

// Hex digits map to their values, everything else to 127.
struct HexTable {
    unsigned char value[256];
    constexpr HexTable() : value() {
        for (int i = 0; i < 256; ++i) value[i] = 127;
        for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<unsigned char>(i);
        for (int i = 0; i < 6; ++i) {
            value['A' + i] = static_cast<unsigned char>(10 + i);
            value['a' + i] = static_cast<unsigned char>(10 + i);
        }
    }
};
constexpr HexTable kHex;

// Buffers decoded bytes in front of the output; a failed write is the
// output's to note.
class COutBuffer {
public:
    explicit COutBuffer(CByteOutput& file) : m_file(file) {}
    ~COutBuffer() { Flush(); }
    COutBuffer(const COutBuffer&) = delete;
    COutBuffer& operator=(const COutBuffer&) = delete;

    void Put(unsigned char c) {
        if (m_used == kSize) Flush();
        m_data[m_used++] = c;
    }
    void Append(const unsigned char* p, int n) {
        if (m_used + n > kSize) {
            Flush();
            if (n > kSize) {
                m_file.Write(p, static_cast<size_t>(n));
                return;
            }
        }
        std::memcpy(m_data + m_used, p, static_cast<size_t>(n));
        m_used += n;
    }
    // Room for n bytes (at most kSize) to be written in place, then
    // Commit(count) of them.
    unsigned char* Reserve(int n) {
        if (m_used + n > kSize) Flush();
        return m_data + m_used;
    }
    void Commit(int count) { m_used += count; }
    void Flush() {
        if (m_used > 0) m_file.Write(m_data, static_cast<size_t>(m_used));
        m_used = 0;
    }
    static constexpr int kSize = 16384;

private:
    CByteOutput& m_file;
    int m_used = 0;
    unsigned char m_data[kSize];
};

// The digest, when one is wanted.
class CDigest {
public:
    explicit CDigest(std::string* result) : m_result(result) {}
    void Update(const void* p, size_t n) {
        if (m_result) m_md5.Update(p, n);
    }
    void Finish() {
        if (m_result) *m_result = Md5Base64(m_md5);
    }

private:
    std::string* m_result;
    CMd5 m_md5;
};

const unsigned char kCRLF[2] = {'\r', '\n'};

// Where the first '=' or newline is among 8 bytes read as a little-endian
// word, 8 when there is none.
inline int FirstEscapeOrNewline(uint64_t word) {
    return std::countr_zero(plat::BytesEqual(word, '=') | plat::BytesEqual(word, '\n')) >> 3;
}

// A byte taken as it stands; a newline is digested as the CR LF it was in
// the message.
void PutPlain(COutBuffer& out, CDigest& md5, unsigned char b) {
    out.Put(b);
    if (b == '\n')
        md5.Update(kCRLF, 2);
    else
        md5.Update(&b, 1);
}

}  // namespace

void CopyPart(PartStream& in, CByteOutput& file, std::string* digest) {
    COutBuffer out(file);
    CDigest md5(digest);
    for (;;) {
        const unsigned char* run;
        int n = in.PeekRun(&run);
        if (n > 0) {
            out.Append(run, n);
            md5.Update(run, static_cast<size_t>(n));
            in.TakeRun(n);
            continue;
        }
        int c = in.StreamGetByte();
        if (c < 0) break;
        PutPlain(out, md5, static_cast<unsigned char>(c));
    }
    md5.Finish();
}

void DecodeQuotedPrintable(PartStream& in, CByteOutput& file, std::string* digest) {
    COutBuffer out(file);
    CDigest md5(digest);
    // Up to kChunk buffered bytes at a time, newlines included: runs of
    // plain bytes are copied 8 at a time, escapes and newlines wholly inside
    // the buffer are decoded here, straight into the output buffer. An
    // escape too near the end of the buffer or before a newline, and a
    // newline where a delimiter line may begin, go through the byte reader.
    constexpr int kChunk = 4096;
    unsigned char digested[2 * kChunk];  // a newline is digested as CR LF
    const bool wantDigest = digest != nullptr;
    for (;;) {
        const unsigned char* run;
        int n = in.PeekBuffered(&run);
        if (n > 0) {
            const unsigned char* p = run;
            const unsigned char* const end = run + (n < kChunk ? n : kChunk);
            unsigned char* const start = out.Reserve(kChunk);
            unsigned char* o = start;
            unsigned char* d = digested;
            while (p < end) {
                if constexpr (std::endian::native == std::endian::little) {
                    // Output and digest never run ahead of the input taken,
                    // so 8 bytes fit wherever 8 are left to read.
                    while (end - p >= 8) {
                        uint64_t word;
                        std::memcpy(&word, p, 8);
                        std::memcpy(o, p, 8);
                        if (wantDigest) std::memcpy(d, p, 8);
                        const int plain = FirstEscapeOrNewline(word);
                        o += plain;
                        p += plain;
                        if (wantDigest) d += plain;
                        if (plain < 8) break;
                    }
                    if (p == end) break;
                }
                unsigned char c = *p;
                if (c == '=') {
                    if (end - p >= 2 && p[1] == '\n' && in.PlainNewline(p + 1)) {
                        p += 2;  // soft line break
                        continue;
                    }
                    if (end - p < 3 || p[1] == '\n' || p[2] == '\n') break;
                    c = static_cast<unsigned char>((kHex.value[p[1]] << 4) | kHex.value[p[2]]);
                    p += 3;
                    if (c != '\r') *o++ = c;  // an escaped CR is digested, not written
                    if (wantDigest) *d++ = c;
                    continue;
                }
                if (c == '\n') {
                    if (!in.PlainNewline(p)) break;
                    if (wantDigest) *d++ = '\r';
                }
                *o++ = c;
                if (wantDigest) *d++ = c;
                ++p;
            }
            out.Commit(static_cast<int>(o - start));
            md5.Update(digested, static_cast<size_t>(d - digested));
            in.TakeRun(static_cast<int>(p - run));
            if (p == end) continue;
        }
        // The byte the run stopped at: an "=" or a newline.
        int c = in.StreamGetByte();
        if (c < 0) break;
        if (c != '=') {
            PutPlain(out, md5, static_cast<unsigned char>(c));
            continue;
        }
        // After an "=": a soft line break, or the two hex digits.
        int hi = in.StreamGetByte();
        if (hi < 0) break;
        if (hi == '\n') continue;
        int lo = in.StreamGetByte();
        if (lo < 0) break;  // an escape cut short by the end of the part yields nothing
        unsigned char b = static_cast<unsigned char>((kHex.value[hi] << 4) | kHex.value[lo]);
        if (b != '\r') out.Put(b);
        md5.Update(&b, 1);
    }
    md5.Finish();
}

void DecodeBase64(PartStream& in, CByteOutput& file, std::string* digest, bool dropCR,
                  CDecodeReporter& reporter) {
    COutBuffer out(file);
    CDigest md5(digest);
    // Decoded straight into the output buffer, kDecodedSize bytes (whole
    // quanta and whole digest blocks) at a time.
    constexpr int kDecodedSize = 64 * 3 * 21;
    unsigned char* decoded = out.Reserve(kDecodedSize);
    int used = 0;
    int digested = 0;  // of the used bytes
    unsigned char quantum[4];
    int have = 0;
    bool padSeen = false;

    // The whole digest blocks decoded so far, at the end of every line, so
    // that the digest's work overlaps the decoding of the next line.
    auto digestBlocks = [&] {
        const int blocks = (used - digested) & ~63;
        md5.Update(decoded + digested, static_cast<size_t>(blocks));
        digested += blocks;
    };
    // Digests the decoded bytes, then drops the carriage returns when asked.
    auto commit = [&] {
        md5.Update(decoded + digested, static_cast<size_t>(used - digested));
        int kept = used;
        if (dropCR) {
            const unsigned char* end = decoded + used;
            auto* to = static_cast<unsigned char*>(std::memchr(decoded, '\r', static_cast<size_t>(used)));
            if (to) {
                for (const unsigned char* from = to + 1; from < end; ++from)
                    if (*from != '\r') *to++ = *from;
                kept = static_cast<int>(to - decoded);
            }
        }
        out.Commit(kept);
        used = 0;
        digested = 0;
    };
    auto flush = [&] {
        commit();
        decoded = out.Reserve(kDecodedSize);
    };
    // One character of the alphabet or '='.
    auto take = [&](unsigned char v) {
        if (have == 0 && padSeen) return;  // everything after padding is ignored
        quantum[have++] = v;
        if (have < 4) return;
        have = 0;
        if (quantum[0] == kPad || quantum[1] == kPad) {
            padSeen = true;
            return;
        }
        if (used > kDecodedSize - 3) flush();
        decoded[used++] = static_cast<unsigned char>((quantum[0] << 2) | (quantum[1] >> 4));
        if (quantum[2] == kPad) {
            padSeen = true;
            return;
        }
        decoded[used++] = static_cast<unsigned char>((quantum[1] << 4) | (quantum[2] >> 2));
        if (quantum[3] == kPad) {
            padSeen = true;
            return;
        }
        decoded[used++] = static_cast<unsigned char>((quantum[2] << 6) | quantum[3]);
    };

    for (;;) {
        const unsigned char* p;
        const int n = in.PeekBuffered(&p);
        if (n == 0) {
            int c = in.StreamGetByte();
            if (c < 0) break;
            unsigned char v = kBase64.value[c];
            if (v != kNotBase64) take(v);
            continue;
        }
        const unsigned char* const start = p;
        const unsigned char* const end = p + n;
        while (p < end) {
            if (have == 0 && !padSeen) {
                // Whole quanta of alphabet characters, the common case.
                while (end - p >= 4) {
                    const uint32_t bits = kQuantum.place[0][p[0]] | kQuantum.place[1][p[1]] |
                                          kQuantum.place[2][p[2]] | kQuantum.place[3][p[3]];
                    if (bits >> 24) break;
                    if (used > kDecodedSize - 3) flush();
                    decoded[used] = static_cast<unsigned char>(bits);
                    decoded[used + 1] = static_cast<unsigned char>(bits >> 8);
                    decoded[used + 2] = static_cast<unsigned char>(bits >> 16);
                    used += 3;
                    p += 4;
                }
                if (p == end) break;
            }
            const unsigned char c = *p;
            if (c == '\n') {
                if (!in.PlainNewline(p)) break;
                digestBlocks();
            } else if (kBase64.value[c] != kNotBase64) {
                take(kBase64.value[c]);
            }
            ++p;
        }
        in.TakeRun(static_cast<int>(p - start));
        // Stopped at a newline where a delimiter line may begin: the byte
        // reader tells (a newline is no character of the alphabet).
        if (p < end && in.StreamGetByte() < 0) break;
    }
    commit();
    if (have > 0) reporter.DecodeWarning("Premature EOF");
    md5.Finish();
}

void DecodeBody(PartStream& in, CByteOutput& out, int code, std::string* digest, bool dropCR,
               CDecodeReporter& reporter) {
    switch (code) {
        case kEncodingNone:
            CopyPart(in, out, digest);
            break;
        case kEncodingQuotedPrintable:
            DecodeQuotedPrintable(in, out, digest);
            break;
        case kEncodingBase64:
            DecodeBase64(in, out, digest, dropCR, reporter);
            break;
        default:
            break;
    }
}

bool DigestMatches(const std::string& computed, const char* headerValue) {
    return std::strncmp(computed.c_str(), headerValue, computed.size()) == 0;
}

void WarnCorrupted(const char* fileName, CDecodeReporter& reporter) {
    std::string text = fileName;
    text += " was corrupted in transit";
    reporter.DecodeWarning(text);
}

}  // namespace mime
