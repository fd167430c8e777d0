// Fuzzes the DNS answer parser with arbitrary answers. The first input byte
// picks where the records are taken to start.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "gateway/smtp_out/dnswire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    dnswire::Answer a = dnswire::ParseAnswer(std::span<const uint8_t>(data + 1, size - 1), data[0]);
    // A record takes at least 11 bytes, so the table cannot outgrow the input.
    if (a.records.size() > size / 11 + 1) __builtin_trap();
    if (a.result == dnswire::kComplete && size - 1 < 12) __builtin_trap();
    for (const DnsRecord& rec : a.records)
        if (std::strlen(rec.name) > 255 || std::strlen(rec.data) > 255 || std::strlen(rec.data2) > 255)
            __builtin_trap();
    return 0;
}
