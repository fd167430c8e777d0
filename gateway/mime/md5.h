// MD5 message digest (RFC 1321) and its base64 text as in Content-MD5.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mime {

class CMd5 {
public:
    CMd5() { Init(); }
    void Init();
    void Update(const void* data, size_t length);
    // Finishes the computation; the state must be re-initialised before reuse.
    void Final(unsigned char digest[16]);

private:
    void Transform(const unsigned char* block);

    uint32_t m_state[4];
    uint64_t m_bits;
    unsigned char m_block[64];
    size_t m_used;
};

// Finishes md5 and returns the digest in base64: 22 characters and "==".
std::string Md5Base64(CMd5& md5);

}  // namespace mime
