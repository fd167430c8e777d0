// Scanning text eight bytes at a time, the bytes read as one word.
#pragma once

#include <cstdint>

namespace plat {

// Sets the high bit of the first byte of word equal to b (in memory order on
// a little-endian machine), and of no byte before it; 0 when none equals b.
// Bytes after the first match may be marked wrongly: only "any" and the
// lowest set bit are exact.
constexpr uint64_t BytesEqual(uint64_t word, unsigned char b) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    const uint64_t x = word ^ (kOnes * b);
    return (x - kOnes) & ~x & (kOnes * 0x80);
}

}  // namespace plat
