// A small DNS client for mail-exchanger lookups: one query over TCP to a
// name server, the response parsed into a table of records in response
// order, and a walk along name-server referrals until an authoritative
// answer arrives or a step budget is spent.
#pragma once

#include <cstdint>
#include <vector>

#include "gateway/smtp_out/dnswire.h"


class CDnsResolver {
public:
    static constexpr int kTypeA = dnswire::kTypeA;
    static constexpr int kTypeNS = dnswire::kTypeNS;
    static constexpr int kTypeSOA = dnswire::kTypeSOA;
    static constexpr int kTypeHINFO = dnswire::kTypeHINFO;
    static constexpr int kTypeMINFO = dnswire::kTypeMINFO;
    static constexpr int kTypeMX = dnswire::kTypeMX;
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
    // after the query of queryLength bytes: its records become the table.
    void TakeResponse(const unsigned char* data, int length, int queryLength);

private:
    // Splits "host[:port]"; false when the text is refused.
    bool SplitServer(const char* server, char* host, int hostSize, int* port) const;

    std::vector<DnsRecord> m_Records;
    int m_Authoritative = 0;
    int m_Port = kDefaultPort;
};
