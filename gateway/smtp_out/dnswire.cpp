// DNS answer parsing over a bounded byte range.
#include "gateway/smtp_out/dnswire.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace dnswire {
namespace {

using Bytes = std::span<const uint8_t>;

constexpr int kHeaderSize = 12;
constexpr int kRecordFixed = 10;  // TYPE, CLASS, TTL, RDLENGTH
constexpr int kMinRecord = 11;    // a root owner name and the fixed part
constexpr int kMaxPointerJumps = 64;
constexpr int kMaxText = 255;

int Size(Bytes b) { return static_cast<int>(b.size()); }
int Be16(Bytes b, int at) { return (b[static_cast<size_t>(at)] << 8) | b[static_cast<size_t>(at) + 1]; }
uint32_t Be32(Bytes b, int at) {
    return (static_cast<uint32_t>(Be16(b, at)) << 16) | static_cast<uint32_t>(Be16(b, at + 2));
}

// A length-prefixed string of HINFO and MINFO, cut to fit limit.
bool ReadCharString(Bytes b, int pos, char* out, int limit, int* next) {
    if (pos < 0 || pos >= Size(b)) return false;
    int n = b[static_cast<size_t>(pos)];
    if (pos + 1 + n > Size(b)) return false;
    int copy = n >= limit ? limit - 1 : n;
    std::memcpy(out, b.data() + pos + 1, static_cast<size_t>(copy));
    out[copy] = '\0';
    *next = pos + 1 + n;
    return true;
}

// The data of one record, from rdata to rdend, by type.
bool ReadMx(Bytes b, int rdata, int rdend, DnsRecord* rec) {
    int after = 0;
    if (rdend - rdata < 3) return false;
    rec->preference = Be16(b, rdata);
    return ReadName(b, rdata + 2, rdend, rec->data, &after);
}

bool ReadA(Bytes b, int rdata, int rdend, DnsRecord* rec) {
    if (rdend - rdata < 4) return false;
    const uint8_t* a = b.data() + rdata;
    std::snprintf(rec->data, sizeof(rec->data), "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    return true;
}

bool ReadSoa(Bytes b, int rdata, int rdend, DnsRecord* rec) {
    int after = 0;
    if (!ReadName(b, rdata, rdend, rec->data, &after)) return false;
    if (!ReadName(b, after, rdend, rec->data2, &after)) return false;
    if (after + 20 > rdend) return false;
    rec->serial = Be32(b, after);
    rec->refresh = Be32(b, after + 4);
    rec->retry = Be32(b, after + 8);
    rec->expire = Be32(b, after + 12);
    rec->minimum = Be32(b, after + 16);
    return true;
}

bool ReadInfo(Bytes b, int rdata, DnsRecord* rec) {
    int after = 0;
    if (!ReadCharString(b, rdata, rec->data, sizeof(rec->data), &after)) return false;
    return ReadCharString(b, after, rec->data2, sizeof(rec->data2), &after);
}

// Names for NS, CNAME, PTR and the like; other data that is not a name
// leaves the text empty without spoiling the rest.
bool ReadOther(Bytes b, int rdata, int rdend, DnsRecord* rec) {
    int after = 0;
    if (!ReadName(b, rdata, rdend, rec->data, &after)) rec->data[0] = '\0';
    return true;
}

// count records from *pos on, appended to records; false at a broken one.
bool ReadSection(Bytes b, int count, int* pos, std::vector<DnsRecord>* records) {
    for (int i = 0; i < count; ++i) {
        DnsRecord rec;
        std::memset(&rec, 0, sizeof(rec));
        int next = 0;
        if (!ReadRecord(b, *pos, &rec, &next)) return false;
        records->push_back(rec);
        *pos = next;
    }
    return true;
}

}  // namespace

bool ReadName(Bytes b, int pos, int end, char* out, int* next) {
    int limit = std::min(end, Size(b));
    int outLen = 0;
    int jumps = 0;
    bool jumped = false;
    out[0] = '\0';
    for (;;) {
        if (pos < 0 || pos >= limit) return false;
        uint8_t len = b[static_cast<size_t>(pos)];
        if (len >= 64) {
            // A compression pointer: labels after it may lie anywhere in the bytes.
            if (pos + 1 >= limit || ++jumps > kMaxPointerJumps) return false;
            int target = ((len & 0x3F) << 8) | b[static_cast<size_t>(pos) + 1];
            if (!jumped) *next = pos + 2;
            jumped = true;
            pos = target;
            limit = Size(b);
            continue;
        }
        if (len == 0) {
            if (!jumped) *next = pos + 1;
            out[outLen] = '\0';
            return true;
        }
        if (pos + 1 + len > limit) return false;
        if (outLen > 0 && outLen < kMaxText) out[outLen++] = '.';
        for (int i = 0; i < len && outLen < kMaxText; ++i)
            out[outLen++] = static_cast<char>(b[static_cast<size_t>(pos) + 1 + static_cast<size_t>(i)]);
        pos += 1 + len;
    }
}

bool ReadRecord(Bytes b, int pos, DnsRecord* rec, int* next) {
    int at = 0;
    if (!ReadName(b, pos, Size(b), rec->name, &at)) return false;
    if (at + kRecordFixed > Size(b)) return false;
    rec->type = Be16(b, at);
    rec->ttl = Be32(b, at + 4);
    int rdata = at + kRecordFixed;
    int rdend = rdata + Be16(b, at + 8);
    if (rdend > Size(b)) return false;
    *next = rdend;
    switch (rec->type) {
        case kTypeMX:
            return ReadMx(b, rdata, rdend, rec);
        case kTypeA:
            return ReadA(b, rdata, rdend, rec);
        case kTypeSOA:
            return ReadSoa(b, rdata, rdend, rec);
        case kTypeHINFO:
        case kTypeMINFO:
            return ReadInfo(b, rdata, rec);
        default:
            return ReadOther(b, rdata, rdend, rec);
    }
}

Answer ParseAnswer(Bytes b, int recordsAt) {
    Answer answer;
    answer.authoritative = Size(b) >= 3 && (b[2] & 0x04) != 0;
    if (Size(b) < kHeaderSize) return answer;
    int counts[3] = {Be16(b, 6), Be16(b, 8), Be16(b, 10)};
    // Every record takes at least kMinRecord bytes, which bounds the table.
    answer.records.reserve(
        static_cast<size_t>(std::min(counts[0] + counts[1] + counts[2], Size(b) / kMinRecord + 1)));
    int pos = recordsAt;
    answer.result = kComplete;
    for (int count : counts) {
        if (!ReadSection(b, count, &pos, &answer.records)) {
            answer.result = kBrokenRecord;
            break;
        }
    }
    return answer;
}

}  // namespace dnswire
