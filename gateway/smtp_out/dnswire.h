// Parsing of DNS answers: pure functions over the bytes of one response, no
// I/O and no state. Every read is bounded by the bytes given.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct DnsRecord {
    char name[256];
    int type;
    uint32_t ttl;
    char data[256];
    char data2[256];
    int preference;
    uint32_t serial;
    uint32_t refresh;
    uint32_t retry;
    uint32_t expire;
    uint32_t minimum;
};

namespace dnswire {

enum : int { kTypeA = 1, kTypeNS = 2, kTypeSOA = 6, kTypeHINFO = 13, kTypeMINFO = 14, kTypeMX = 15 };

// Results of ParseAnswer.
enum : int {
    kComplete = 0,     // every record the header counts was read
    kShortHeader = 1,  // fewer bytes than a header: no records
    kBrokenRecord = 2  // a record left the bytes or looped: the table ends before it
};

struct Answer {
    int result = kShortHeader;
    bool authoritative = false;
    // Answer, authority and additional records in response order.
    std::vector<DnsRecord> records;
};

// Parses a response as received (without its TCP length prefix). The
// records are taken to start at recordsAt, the length of the query sent,
// since the question echoes it.
Answer ParseAnswer(std::span<const uint8_t> bytes, int recordsAt);

// The pieces, for tests: each reads at pos, within the bytes, and gives the
// position after what it read in next; false when the data leaves the
// bytes (or end, for the labels before any pointer), or pointers loop.
bool ReadName(std::span<const uint8_t> bytes, int pos, int end, char* out, int* next);
bool ReadRecord(std::span<const uint8_t> bytes, int pos, DnsRecord* rec, int* next);

}  // namespace dnswire
