// Fuzzes the DNS response parser and the table accessors with arbitrary
// responses. The first input byte picks where the records are taken to start.
#include <cstddef>
#include <cstdint>

#include "gateway/smtp_out/dns.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    int queryLength = data[0];
    CDnsResolver resolver;
    resolver.TakeResponse(data + 1, static_cast<int>(size - 1), queryLength);
    int count = resolver.GetRecordCount();
    // A record takes at least 11 bytes, so the table cannot outgrow the input.
    if (count > static_cast<int>(size) / 11 + 1) __builtin_trap();
    DnsRecord rec;
    for (int i = 0; i < count; ++i) {
        if (resolver.GetRecord(i, &rec) != 1) __builtin_trap();
        if (__builtin_strlen(rec.name) > 255 || __builtin_strlen(rec.data) > 255 || __builtin_strlen(rec.data2) > 255)
            __builtin_trap();
    }
    for (int n = 0; resolver.GetRecordOfType(n, &rec, CDnsResolver::kTypeMX); ++n) {
        char address[16];
        resolver.FindAddressRecord(rec.data, address, sizeof(address));
    }
    return 0;
}
