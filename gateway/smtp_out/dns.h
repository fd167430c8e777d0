// A small DNS client for mail-exchanger lookups: one query over TCP to a
// name server, the response parsed into a table of records in response
// order, and a walk along name-server referrals until an authoritative
// answer arrives or a step budget is spent.
#pragma once

#include <cstdint>
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

class CDnsResolver {
public:
    static constexpr int kTypeA = 1;
    static constexpr int kTypeNS = 2;
    static constexpr int kTypeSOA = 6;
    static constexpr int kTypeHINFO = 13;
    static constexpr int kTypeMINFO = 14;
    static constexpr int kTypeMX = 15;
    static constexpr int kDefaultPort = 53;
    // Longest domain and server texts accepted.
    static constexpr int kMaxDomain = 236;
    static constexpr int kMaxServer = 259;

    CDnsResolver() = default;
    CDnsResolver(const CDnsResolver&) = delete;
    CDnsResolver& operator=(const CDnsResolver&) = delete;

    // server: dotted address or host name, optionally ":port". 0 when an
    // authoritative response is held; 2 no further referral to follow; 10
    // the first query failed; 10 + steps when the budget ran out. The
    // table holds the last response that arrived, whatever the result.
    int Resolve(const char* server, const char* domain, int budget);
    // One query: 0 a response arrived and was parsed; 1 no connection (or
    // input refused); 2 nothing could be received.
    int Lookup(const char* server, const char* domain);
    // Number of records in the table.
    int GetRecordCount() const;
    // 1 copied; 0 no such index.
    int GetRecord(int index, DnsRecord* dest) const;
    // 1 the n-th record (0-based, table order) of that type was copied.
    int GetRecordOfType(int n, DnsRecord* dest, int type) const;
    // Builds the table from the held response; always 1.
    int ParseResponse();
    bool IsAuthoritative() const { return m_Authoritative != 0; }

    // Port for servers named without one, among them every name server met
    // in a referral: 53, which tests change to reach scripted name servers.
    // A port given with the configured server applies to that server only.
    void SetReferralPort(int port) { m_Port = port; }

    // Dotted address of host from the table's A records; false if none.
    bool FindAddressRecord(const char* host, char* out, int size) const;

    // The query message with its 2-byte TCP length prefix; its length, or 0
    // when the domain is refused (empty, empty or over-long labels, longer
    // than kMaxDomain) or does not fit size.
    static int BuildQuery(const char* domain, unsigned char* out, int size);
    // Installs a response as received (without its prefix), as Lookup does
    // after the query of queryLength bytes, and parses it.
    void TakeResponse(const unsigned char* data, int length, int queryLength);

private:
    bool ReadName(int pos, int end, char* out, int* next) const;
    bool ReadCharString(int pos, char* out, int limit, int* next) const;
    bool ParseRecord(int pos, DnsRecord* rec, int* next) const;
    // Splits "host[:port]"; false when the text is refused.
    bool SplitServer(const char* server, char* host, int hostSize, int* port) const;

    std::vector<unsigned char> m_Response;  // declared length + 10 bytes
    int m_Received = 0;                     // bytes of it that arrived
    std::vector<DnsRecord> m_Records;
    int m_QueryLength = 0;
    int m_Authoritative = 0;
    int m_Port = kDefaultPort;
};
