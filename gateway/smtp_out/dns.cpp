// DNS MX resolver over TCP.
#include "gateway/smtp_out/dns.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "gateway/core/diag.h"
#include "gateway/smtp_out/clientsock.h"
#include "platform/net.h"

namespace {

constexpr uint16_t kQueryId = 0x8639;
constexpr uint32_t kReceiveTimeoutMs = 30000;
constexpr int kReceivePiece = 100;

void CopyText(char* dest, int size, const char* src) {
    if (size <= 0) return;
    std::snprintf(dest, static_cast<size_t>(size), "%s", src ? src : "");
}

bool SameHost(const char* a, const char* b) {
    size_t la = std::strlen(a), lb = std::strlen(b);
    if (la > 0 && a[la - 1] == '.') --la;
    if (lb > 0 && b[lb - 1] == '.') --lb;
    if (la != lb || la == 0) return false;
    for (size_t i = 0; i < la; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

int CDnsResolver::BuildQuery(const char* domain, unsigned char* out, int size) {
    if (!domain || !out) return 0;
    size_t len = std::strlen(domain);
    if (len == 0 || len > static_cast<size_t>(kMaxDomain)) return 0;
    int total = static_cast<int>(len) + 20;  // prefix, header, name, type, class
    if (total > size) return 0;

    unsigned char* p = out;
    int message = total - 2;
    *p++ = static_cast<unsigned char>(message >> 8);
    *p++ = static_cast<unsigned char>(message & 0xFF);
    *p++ = kQueryId >> 8;
    *p++ = kQueryId & 0xFF;
    *p++ = 0x01;  // RD
    *p++ = 0x00;
    *p++ = 0;
    *p++ = 1;  // QDCOUNT
    for (int i = 0; i < 6; ++i) *p++ = 0;

    // QNAME: each dot-separated label behind its length byte.
    const char* label = domain;
    for (;;) {
        const char* dot = std::strchr(label, '.');
        size_t n = dot ? static_cast<size_t>(dot - label) : std::strlen(label);
        if (n == 0 || n > 63) return 0;
        *p++ = static_cast<unsigned char>(n);
        std::memcpy(p, label, n);
        p += n;
        if (!dot) break;
        label = dot + 1;
    }
    *p++ = 0;
    *p++ = 0;
    *p++ = CDnsResolver::kTypeMX;
    *p++ = 0;
    *p++ = 1;  // IN
    return static_cast<int>(p - out);
}

bool CDnsResolver::SplitServer(const char* server, char* host, int hostSize, int* port) const {
    if (!server) return false;
    size_t len = std::strlen(server);
    if (len == 0 || len > static_cast<size_t>(kMaxServer) || static_cast<int>(len) >= hostSize) return false;
    std::memcpy(host, server, len + 1);
    *port = m_Port;
    char* colon = std::strrchr(host, ':');
    if (colon) {
        const char* digits = colon + 1;
        if (*digits == '\0' || std::strlen(digits) > 5) return false;
        long value = 0;
        for (const char* d = digits; *d; ++d) {
            if (*d < '0' || *d > '9') return false;
            value = value * 10 + (*d - '0');
        }
        if (value < 1 || value > 65535) return false;
        *colon = '\0';
        *port = static_cast<int>(value);
    }
    return host[0] != '\0';
}

int CDnsResolver::Lookup(const char* server, const char* domain) {
    DLOG("Lookup: Begin.\r\n");
    unsigned char query[256];
    int queryBytes = BuildQuery(domain, query, sizeof(query));
    char host[kMaxServer + 1];
    int port = kDefaultPort;
    if (queryBytes == 0 || !SplitServer(server, host, sizeof(host), &port)) {
        DLOG("Lookup: Refused the server or domain text.\r\n");
        return 1;
    }
    m_Authoritative = 0;
    DLOG("Lookup: Created DSN querry for 'To Details'.\r\n");

    CClientSock sock;
    // A name-server host name: its address from this response's A records,
    // else from the platform's resolver.
    if (plat::InetAddr(host) == plat::kInaddrNone) {
        char address[kMaxServer + 1];
        if (FindAddressRecord(host, address, sizeof(address)))
            CopyText(host, sizeof(host), address);
        else
            sock.ResolveHostAddress(host, sizeof(host));
    }
    if (sock.Connect(port, host) != 0) {
        DLOG("Lookup: Unable to connect to DNS .\r\n");
        GetAndDisplayError();
        return 1;
    }
    DLOG("Lookup: Connected to DNS .\r\n");
    sock.SetReceiveTimeout(kReceiveTimeoutMs);
    if (sock.Send(reinterpret_cast<const char*>(query), queryBytes) != queryBytes) {
        DLOG("Lookup: Unable to send to DNS .\r\n");
        GetAndDisplayError();
        sock.Disconnect();
        return 2;
    }

    unsigned char prefix[2];
    int got = 0;
    while (got < 2) {
        int n = sock.Receive(reinterpret_cast<char*>(prefix) + got, 2 - got);
        if (n < 1) break;
        got += n;
    }
    if (got < 2) {
        DLOG("Lookup: Unable to receive from DNS .\r\n");
        GetAndDisplayError();
        sock.Disconnect();
        return 2;
    }

    int declared = (prefix[0] << 8) | prefix[1];
    std::vector<unsigned char> response(static_cast<size_t>(declared));
    int received = 0;
    while (received < declared) {
        int piece = std::min(kReceivePiece, declared - received);
        int n = sock.Receive(reinterpret_cast<char*>(response.data()) + received, piece);
        if (n < 1) break;
        received += n;
    }
    sock.Disconnect();
    // An answer cut short is parsed as far as it came.
    TakeResponse(response.data(), received, queryBytes - 2);
    DLOG("Lookup: End.\n\r");
    return 0;
}

void CDnsResolver::TakeResponse(const unsigned char* data, int length, int queryLength) {
    dnswire::Answer answer =
        dnswire::ParseAnswer(std::span<const uint8_t>(data, length > 0 ? static_cast<size_t>(length) : 0), queryLength);
    m_Authoritative = answer.authoritative ? 1 : 0;
    m_Records = std::move(answer.records);
}

int CDnsResolver::GetRecordCount() const { return static_cast<int>(m_Records.size()); }

int CDnsResolver::GetRecord(int index, DnsRecord* dest) const {
    DLOGF("GetRecord: Have %d records for Todetails in DNS", GetRecordCount());
    if (!dest || index < 0 || index >= GetRecordCount()) return 0;
    *dest = m_Records[static_cast<size_t>(index)];
    return 1;
}

int CDnsResolver::GetRecordOfType(int n, DnsRecord* dest, int type) const {
    int count = GetRecordCount();
    if (n < 0 || n >= count || count < 1) return 0;
    int seen = 0;
    for (int i = 0; i < count; ++i) {
        if (m_Records[static_cast<size_t>(i)].type != type) continue;
        if (seen++ == n) return GetRecord(i, dest);
    }
    return 0;
}

bool CDnsResolver::FindAddressRecord(const char* host, char* out, int size) const {
    if (!host || !out || size <= 0) return false;
    for (const DnsRecord& rec : m_Records) {
        if (rec.type != kTypeA || rec.data[0] == '\0' || !SameHost(rec.name, host)) continue;
        if (static_cast<int>(std::strlen(rec.data)) >= size) return false;
        CopyText(out, size, rec.data);
        return true;
    }
    return false;
}

int CDnsResolver::Resolve(const char* server, const char* domain, int budget) {
    if (Lookup(server, domain) != 0) return 10;
    int steps = 0;
    if (budget <= 0) return 10;
    for (;;) {
        ++steps;
        --budget;
        if (m_Authoritative) return 0;
        int k = 0;
        for (;;) {
            DnsRecord ns;
            if (!GetRecordOfType(k, &ns, kTypeNS)) return 2;
            ++k;
            ++steps;
            --budget;
            if (Lookup(ns.data, domain) == 0) {
                if (budget <= 0) return 10 + steps;
                break;  // follow the new response's own referrals
            }
            if (budget <= 0) return 10 + steps;
        }
    }
}
