#include "gateway/mime/md5.h"

#include <cstring>

namespace mime {

namespace {

inline uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
// The two terms have no bit in common, so adding them is the same as or-ing
// them; the sum lets the term without x (the latest result) be added first.
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & z) + (y & ~z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ (y ^ z); }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

inline uint32_t Load32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

#define MD5_STEP(f, a, b, c, d, x, t, s) \
    a += f(b, c, d) + (x) + (t);         \
    a = Rotl(a, s) + b;

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

void CMd5::Init() {
    m_state[0] = 0x67452301;
    m_state[1] = 0xefcdab89;
    m_state[2] = 0x98badcfe;
    m_state[3] = 0x10325476;
    m_bits = 0;
    m_used = 0;
}

void CMd5::Transform(const unsigned char* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = Load32(block + 4 * i);
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];

    MD5_STEP(F, a, b, c, d, x[0], 0xd76aa478, 7)
    MD5_STEP(F, d, a, b, c, x[1], 0xe8c7b756, 12)
    MD5_STEP(F, c, d, a, b, x[2], 0x242070db, 17)
    MD5_STEP(F, b, c, d, a, x[3], 0xc1bdceee, 22)
    MD5_STEP(F, a, b, c, d, x[4], 0xf57c0faf, 7)
    MD5_STEP(F, d, a, b, c, x[5], 0x4787c62a, 12)
    MD5_STEP(F, c, d, a, b, x[6], 0xa8304613, 17)
    MD5_STEP(F, b, c, d, a, x[7], 0xfd469501, 22)
    MD5_STEP(F, a, b, c, d, x[8], 0x698098d8, 7)
    MD5_STEP(F, d, a, b, c, x[9], 0x8b44f7af, 12)
    MD5_STEP(F, c, d, a, b, x[10], 0xffff5bb1, 17)
    MD5_STEP(F, b, c, d, a, x[11], 0x895cd7be, 22)
    MD5_STEP(F, a, b, c, d, x[12], 0x6b901122, 7)
    MD5_STEP(F, d, a, b, c, x[13], 0xfd987193, 12)
    MD5_STEP(F, c, d, a, b, x[14], 0xa679438e, 17)
    MD5_STEP(F, b, c, d, a, x[15], 0x49b40821, 22)

    MD5_STEP(G, a, b, c, d, x[1], 0xf61e2562, 5)
    MD5_STEP(G, d, a, b, c, x[6], 0xc040b340, 9)
    MD5_STEP(G, c, d, a, b, x[11], 0x265e5a51, 14)
    MD5_STEP(G, b, c, d, a, x[0], 0xe9b6c7aa, 20)
    MD5_STEP(G, a, b, c, d, x[5], 0xd62f105d, 5)
    MD5_STEP(G, d, a, b, c, x[10], 0x02441453, 9)
    MD5_STEP(G, c, d, a, b, x[15], 0xd8a1e681, 14)
    MD5_STEP(G, b, c, d, a, x[4], 0xe7d3fbc8, 20)
    MD5_STEP(G, a, b, c, d, x[9], 0x21e1cde6, 5)
    MD5_STEP(G, d, a, b, c, x[14], 0xc33707d6, 9)
    MD5_STEP(G, c, d, a, b, x[3], 0xf4d50d87, 14)
    MD5_STEP(G, b, c, d, a, x[8], 0x455a14ed, 20)
    MD5_STEP(G, a, b, c, d, x[13], 0xa9e3e905, 5)
    MD5_STEP(G, d, a, b, c, x[2], 0xfcefa3f8, 9)
    MD5_STEP(G, c, d, a, b, x[7], 0x676f02d9, 14)
    MD5_STEP(G, b, c, d, a, x[12], 0x8d2a4c8a, 20)

    MD5_STEP(H, a, b, c, d, x[5], 0xfffa3942, 4)
    MD5_STEP(H, d, a, b, c, x[8], 0x8771f681, 11)
    MD5_STEP(H, c, d, a, b, x[11], 0x6d9d6122, 16)
    MD5_STEP(H, b, c, d, a, x[14], 0xfde5380c, 23)
    MD5_STEP(H, a, b, c, d, x[1], 0xa4beea44, 4)
    MD5_STEP(H, d, a, b, c, x[4], 0x4bdecfa9, 11)
    MD5_STEP(H, c, d, a, b, x[7], 0xf6bb4b60, 16)
    MD5_STEP(H, b, c, d, a, x[10], 0xbebfbc70, 23)
    MD5_STEP(H, a, b, c, d, x[13], 0x289b7ec6, 4)
    MD5_STEP(H, d, a, b, c, x[0], 0xeaa127fa, 11)
    MD5_STEP(H, c, d, a, b, x[3], 0xd4ef3085, 16)
    MD5_STEP(H, b, c, d, a, x[6], 0x04881d05, 23)
    MD5_STEP(H, a, b, c, d, x[9], 0xd9d4d039, 4)
    MD5_STEP(H, d, a, b, c, x[12], 0xe6db99e5, 11)
    MD5_STEP(H, c, d, a, b, x[15], 0x1fa27cf8, 16)
    MD5_STEP(H, b, c, d, a, x[2], 0xc4ac5665, 23)

    MD5_STEP(I, a, b, c, d, x[0], 0xf4292244, 6)
    MD5_STEP(I, d, a, b, c, x[7], 0x432aff97, 10)
    MD5_STEP(I, c, d, a, b, x[14], 0xab9423a7, 15)
    MD5_STEP(I, b, c, d, a, x[5], 0xfc93a039, 21)
    MD5_STEP(I, a, b, c, d, x[12], 0x655b59c3, 6)
    MD5_STEP(I, d, a, b, c, x[3], 0x8f0ccc92, 10)
    MD5_STEP(I, c, d, a, b, x[10], 0xffeff47d, 15)
    MD5_STEP(I, b, c, d, a, x[1], 0x85845dd1, 21)
    MD5_STEP(I, a, b, c, d, x[8], 0x6fa87e4f, 6)
    MD5_STEP(I, d, a, b, c, x[15], 0xfe2ce6e0, 10)
    MD5_STEP(I, c, d, a, b, x[6], 0xa3014314, 15)
    MD5_STEP(I, b, c, d, a, x[13], 0x4e0811a1, 21)
    MD5_STEP(I, a, b, c, d, x[4], 0xf7537e82, 6)
    MD5_STEP(I, d, a, b, c, x[11], 0xbd3af235, 10)
    MD5_STEP(I, c, d, a, b, x[2], 0x2ad7d2bb, 15)
    MD5_STEP(I, b, c, d, a, x[9], 0xeb86d391, 21)

    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

void CMd5::Update(const void* data, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    m_bits += static_cast<uint64_t>(length) << 3;
    if (m_used > 0) {
        size_t take = 64 - m_used;
        if (take > length) take = length;
        std::memcpy(m_block + m_used, p, take);
        m_used += take;
        p += take;
        length -= take;
        if (m_used < 64) return;
        Transform(m_block);
        m_used = 0;
    }
    while (length >= 64) {
        Transform(p);
        p += 64;
        length -= 64;
    }
    if (length > 0) {
        std::memcpy(m_block, p, length);
        m_used = length;
    }
}

void CMd5::Final(unsigned char digest[16]) {
    unsigned char tail[72] = {0x80};
    uint64_t bits = m_bits;
    size_t pad = (m_used < 56) ? 56 - m_used : 120 - m_used;
    unsigned char length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (8 * i));
    Update(tail, pad);
    Update(length, 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(m_state[i] >> (8 * j));
}

std::string Md5Base64(CMd5& md5) {
    unsigned char d[16];
    md5.Final(d);
    std::string out;
    out.reserve(24);
    for (int i = 0; i < 16; i += 3) {
        unsigned v = static_cast<unsigned>(d[i]) << 16;
        if (i + 1 < 16) v |= static_cast<unsigned>(d[i + 1]) << 8;
        if (i + 2 < 16) v |= d[i + 2];
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    out[22] = '=';
    out[23] = '=';
    return out;
}

}  // namespace mime
