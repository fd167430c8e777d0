#include <string>
#include <vector>

#include "gateway/smtp_out/dns.h"
#include "gateway/smtp_out/peers.h"
#include "test_util.h"

namespace {

using peers::Bytes;
using peers::Cat;
using peers::Name;
using peers::Pointer;
using peers::Record;

constexpr int kQuestion = 12;  // offset of the question's name in a response

// Query length (without prefix) for a domain, where the records start.
int QueryLength(const std::string& domain) { return static_cast<int>(domain.size()) + 18; }

std::string Server(int port) { return "127.0.0.1:" + std::to_string(port); }

TEST(Dns, QueryForAnElevenCharacterDomain) {
    unsigned char q[256];
    ASSERT_EQ(CDnsResolver::BuildQuery("example.com", q, sizeof(q)), 31);
    // Length, id, RD, one question; the name; MX, IN.
    Bytes expected = Cat({{0x00, 0x1D, 0x86, 0x39, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}, Name("example.com"), {0, 15, 0, 1}});
    EXPECT_EQ(Bytes(q, q + 31), expected);

    // The same bytes reach the name server.
    peers::NameServer ns([](const Bytes&) { return Bytes(); });
    CDnsResolver r;
    EXPECT_EQ(r.Lookup(Server(ns.port()).c_str(), "example.com"), 2);
    ASSERT_EQ(ns.queries().size(), 1u);
    EXPECT_EQ(ns.queries()[0], Bytes(expected.begin() + 2, expected.end()));
}

TEST(Dns, UnsafeDomainsAndServersAreRefusedBeforeSending) {
    peers::NameServer ns([](const Bytes&) { return Bytes(); }, 1);
    std::string server = Server(ns.port());
    std::string longDomain;
    while (longDomain.size() < 237) longDomain += "abcdefgh.";
    longDomain.resize(237);
    std::string longLabel = std::string(64, 'a') + ".com";
    const char* domains[] = {"", ".example.com", "example..com", "example.com.", longDomain.c_str(), longLabel.c_str()};
    CDnsResolver r;
    unsigned char q[512];
    for (const char* d : domains) {
        EXPECT_EQ(CDnsResolver::BuildQuery(d, q, sizeof(q)), 0) << d;
        EXPECT_EQ(r.Lookup(server.c_str(), d), 1) << d;
    }
    EXPECT_EQ(CDnsResolver::BuildQuery(longDomain.substr(0, 236).c_str(), q, sizeof(q)), 256);
    std::string longServer(260, '1');
    const char* servers[] = {"", longServer.c_str(), "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:70000", "127.0.0.1:5x"};
    for (const char* s : servers) EXPECT_EQ(r.Lookup(s, "example.com"), 1) << s;
    EXPECT_EQ(ns.accepted(), 0);
}

// Two answers, three authority records and four additional ones, with
// compressed names throughout.
Bytes NineRecordResponse(bool authoritative) {
    const std::string d = "example.com";
    int ownerPtr = kQuestion;            // "example.com" of the question
    int comPtr = kQuestion + 8;          // "com"
    Bytes mx20 = peers::MxData(20, Cat({Bytes{4, 'm', 'x', '2', '0'}, Pointer(ownerPtr)}));
    Bytes mx10 = peers::MxData(10, Name("mx10.example.com"));
    Bytes soa = Cat({Name("ns1.example.com"), Name("hostmaster.example.com")});
    for (uint32_t v : {2024010101u, 7200u, 3600u, 1209600u, 300u}) peers::Put32(&soa, v);
    Bytes hinfo = {3, 'P', 'D', 'P', 4, 'T', 'O', 'P', 'S'};
    return peers::Response(d, authoritative, 2, 3, 4,
                           {
                               {Pointer(ownerPtr), 15, 3600, mx20},
                               {Pointer(ownerPtr), 15, 3600, mx10},
                               {Pointer(ownerPtr), 2, 86400, Cat({Bytes{3, 'n', 's', '1'}, Pointer(ownerPtr)})},
                               {Pointer(ownerPtr), 6, 86400, soa},
                               {Pointer(comPtr), 2, 86400, Name("a.gtld.test")},
                               {Name("mx20.example.com"), 1, 60, peers::Ipv4("192.0.2.20")},
                               {Name("mx10.example.com"), 1, 60, peers::Ipv4("192.0.2.10")},
                               {Name("box.example.com"), 13, 60, hinfo},
                               {Name("v6.example.com"), 28, 60, Bytes(16, 0x20)},
                           });
}

TEST(Dns, ParsesAllSectionsInResponseOrder) {
    Bytes resp = NineRecordResponse(true);
    CDnsResolver r;
    r.TakeResponse(resp.data(), static_cast<int>(resp.size()), QueryLength("example.com"));
    EXPECT_TRUE(r.IsAuthoritative());
    std::vector<std::string> got;  // name, type, data, preference
    for (int i = 0; i < r.GetRecordCount(); ++i) {
        DnsRecord rec;
        ASSERT_EQ(r.GetRecord(i, &rec), 1);
        got.push_back(std::string(rec.name) + " " + std::to_string(rec.type) + " " + rec.data + " " +
                      std::to_string(rec.preference));
    }
    EXPECT_EQ(got, (std::vector<std::string>{
                       "example.com 15 mx20.example.com 20", "example.com 15 mx10.example.com 10",
                       "example.com 2 ns1.example.com 0", "example.com 6 ns1.example.com 0", "com 2 a.gtld.test 0",
                       "mx20.example.com 1 192.0.2.20 0", "mx10.example.com 1 192.0.2.10 0", "box.example.com 13 PDP 0",
                       "v6.example.com 28  0"}));
    // MX records in table order, whatever their preference.
    DnsRecord rec;
    ASSERT_EQ(r.GetRecordOfType(0, &rec, 15), 1);
    EXPECT_STREQ(rec.data, "mx20.example.com");
    ASSERT_EQ(r.GetRecordOfType(1, &rec, 15), 1);
    EXPECT_STREQ(rec.data, "mx10.example.com");
    EXPECT_EQ(r.GetRecordOfType(2, &rec, 15), 0);
    EXPECT_EQ(r.GetRecordOfType(-1, &rec, 15), 0);
    EXPECT_EQ(r.GetRecord(9, &rec), 0);
    EXPECT_EQ(r.GetRecord(-1, &rec), 0);

    char addr[16];
    EXPECT_TRUE(r.FindAddressRecord("MX10.example.com.", addr, sizeof(addr)));
    EXPECT_STREQ(addr, "192.0.2.10");
    EXPECT_FALSE(r.FindAddressRecord("ns1.example.com", addr, sizeof(addr)));
    EXPECT_FALSE(r.FindAddressRecord("mx10.example.com", addr, 5));
}

TEST(Dns, MalformedResponsesKeepTheRecordsBeforeTheFault) {
    const std::string d = "example.com";
    const int ql = QueryLength(d);
    Bytes good = peers::MxData(10, Name("mx.example.com"));
    int first = ql;  // offset of the first record
    struct Case {
        const char* what;
        Bytes response;
        int records;
    };
    Bytes truncated = NineRecordResponse(true);
    truncated.resize(truncated.size() - 20);
    Bytes counts = peers::Response(d, true, 0xFFFF, 0xFFFF, 0xFFFF, {{Pointer(kQuestion), 15, 1, good}});
    // A pointer to the first byte after the response, or to a label that runs
    // past it: the record goes, though the buffer behind the bytes has room.
    auto pastTheEnd = [&](bool label) {
        std::vector<Record> records = {{Pointer(kQuestion), 15, 1, good}, {Pointer(0), 1, 1, peers::Ipv4("1.2.3.4")}};
        records[1].owner = Pointer(static_cast<int>(peers::Response(d, true, 2, 0, 0, records).size()));
        Bytes b = peers::Response(d, true, 2, 0, 0, records);
        if (label) b.push_back(3);
        return b;
    };
    std::vector<Case> cases = {
        {"pointer to itself",
         peers::Response(d, true, 2, 0, 0, {{Pointer(kQuestion), 15, 1, good}, {Pointer(first + 2 + 10 + 18), 1, 1, {}}}),
         1},
        {"two pointers to each other",
         peers::Response(d, true, 2, 0, 0,
                         {{Pointer(kQuestion), 15, 1, good},
                          {Pointer(kQuestion), 15, 1, Cat({Bytes{0, 1}, Pointer(first + 46), Pointer(first + 44)})}}),
         1},
        {"pointer just past the end", pastTheEnd(false), 1},
        {"label past the end after a pointer", pastTheEnd(true), 1},
        {"pointer past the end", peers::Response(d, true, 2, 0, 0, {{Pointer(kQuestion), 15, 1, good}, {Pointer(0x3FFF), 1, 1, {}}}), 1},
        {"label past the end", Cat({peers::Response(d, true, 2, 0, 0, {{Pointer(kQuestion), 15, 1, good}}), Bytes{40, 'a'}}), 1},
        {"rdata past the end",
         [&] {
             Bytes b = peers::Response(d, true, 2, 0, 0, {{Pointer(kQuestion), 15, 1, good}, {Pointer(kQuestion), 1, 1, peers::Ipv4("1.2.3.4")}});
             b.resize(b.size() - 2);
             return b;
         }(),
         1},
        {"exchange name outside its data",
         peers::Response(d, true, 2, 0, 0, {{Pointer(kQuestion), 15, 1, good}, {Pointer(kQuestion), 15, 1, Bytes{0, 5, 3, 'a'}}}),
         1},
        {"short address", peers::Response(d, true, 2, 0, 0, {{Pointer(kQuestion), 15, 1, good}, {Pointer(kQuestion), 1, 1, Bytes{1, 2}}}), 1},
        {"truncated answer", truncated, 8},
        {"huge counts, one record", counts, 1},
        {"header only", Bytes(truncated.begin(), truncated.begin() + 12), 0},
        {"less than a header", Bytes{0x86, 0x39, 0x85}, 0},
        {"empty", Bytes(), 0},
    };
    for (const Case& c : cases) {
        CDnsResolver r;
        r.TakeResponse(c.response.data(), static_cast<int>(c.response.size()), ql);
        EXPECT_EQ(r.GetRecordCount(), c.records) << c.what;
        DnsRecord rec;
        if (c.records > 0) {
            ASSERT_EQ(r.GetRecordOfType(0, &rec, 15), 1) << c.what;
            EXPECT_STREQ(rec.data, c.response == truncated ? "mx20.example.com" : "mx.example.com") << c.what;
        }
    }
}

TEST(Dns, OverlongNamesAreCutAt255Characters) {
    const std::string d = "example.com";
    // Four 63-byte labels make a 255-character name; a fifth is cut off.
    Bytes owner;
    for (int i = 0; i < 5; ++i) {
        owner.push_back(63);
        owner.insert(owner.end(), 63, static_cast<uint8_t>('a' + i));
    }
    owner.push_back(0);
    Bytes resp = peers::Response(d, true, 1, 0, 0, {{owner, 1, 1, peers::Ipv4("10.0.0.1")}});
    CDnsResolver r;
    r.TakeResponse(resp.data(), static_cast<int>(resp.size()), QueryLength(d));
    DnsRecord rec;
    ASSERT_EQ(r.GetRecord(0, &rec), 1);
    EXPECT_EQ(std::string(rec.name).size(), 255u);
    EXPECT_STREQ(rec.data, "10.0.0.1");
}

TEST(Dns, LookupReadsAnAnswerSentInPiecesAndATruncatedOne) {
    Bytes full = NineRecordResponse(true);
    peers::Server server(
        [&full](plat::SocketHandle s) {
            uint8_t q[64];
            plat::Recv(s, q, sizeof(q), 0);
            Bytes out;
            peers::Put16(&out, static_cast<uint32_t>(full.size()) + 40);  // claims more than it sends
            out = Cat({out, full});
            for (size_t i = 0; i < out.size(); i += 7) {
                peers::SendAll(s, std::string(out.begin() + static_cast<long>(i), out.begin() + static_cast<long>(std::min(i + 7, out.size()))));
                plat::SleepMs(1);
            }
        },
        1);
    CDnsResolver r;
    EXPECT_EQ(r.Lookup(Server(server.port()).c_str(), "example.com"), 0);
    EXPECT_EQ(r.GetRecordCount(), 9);
    EXPECT_TRUE(r.IsAuthoritative());
}

TEST(Dns, AFailedLookupLeavesTheTableAsItWas) {
    Bytes full = NineRecordResponse(false);
    peers::NameServer good([&full](const Bytes&) { return full; });
    peers::NameServer silent([](const Bytes&) { return Bytes(); });
    CDnsResolver r;
    ASSERT_EQ(r.Lookup(Server(good.port()).c_str(), "example.com"), 0);
    EXPECT_EQ(r.Lookup(Server(silent.port()).c_str(), "example.com"), 2);
    EXPECT_EQ(r.GetRecordCount(), 9);
    EXPECT_EQ(r.Lookup(Server(peers::ClosedPort()).c_str(), "example.com"), 1);
    EXPECT_EQ(r.GetRecordCount(), 9);
}

TEST(Dns, ResolveStopsAtAnAnswerWithoutAWorkingReferral) {
    const std::string d = "example.com";
    Bytes mx = peers::MxData(5, Name("mx.example.com"));
    // The referred name server does not answer on the referral port.
    Bytes deadReferral = peers::Response(d, false, 1, 1, 1,
                                         {{Pointer(kQuestion), 15, 1, mx}, {Pointer(kQuestion), 2, 1, Name("ns.example.com")},
                                          {Name("ns.example.com"), 1, 1, peers::Ipv4("127.0.0.1")}});
    struct {
        Bytes response;
        int result;
        const char* mx;
    } cases[] = {
        {NineRecordResponse(true), 0, "mx20.example.com"},  // authoritative
        {peers::Response(d, false, 1, 0, 0, {{Pointer(kQuestion), 15, 1, mx}}), 2, "mx.example.com"},  // no referral
        {deadReferral, 2, "mx.example.com"},  // the referred server cannot be reached: the last answer stays
    };
    for (const auto& c : cases) {
        peers::NameServer ns([&c](const Bytes&) { return c.response; }, 3);
        CDnsResolver r;
        r.SetReferralPort(peers::ClosedPort());
        EXPECT_EQ(r.Resolve(Server(ns.port()).c_str(), d.c_str(), 20), c.result) << c.mx;
        EXPECT_EQ(ns.queries().size(), 1u);
        DnsRecord rec;
        ASSERT_EQ(r.GetRecordOfType(0, &rec, 15), 1);
        EXPECT_STREQ(rec.data, c.mx);
    }
    CDnsResolver r;
    EXPECT_EQ(r.Resolve(Server(peers::ClosedPort()).c_str(), d.c_str(), 20), 10);
    EXPECT_EQ(r.GetRecordCount(), 0);
}

TEST(Dns, ResolveFollowsReferralsThroughGlueAndSkipsDeadNameServers) {
    const std::string d = "example.com";
    // The referred name servers listen on other loopback addresses, on the
    // referral port, not on the port given with the configured server: ns1
    // (127.0.0.2) is down, ns2 answers.
    Bytes answer = peers::Response(d, true, 1, 0, 0, {{Pointer(kQuestion), 15, 1, peers::MxData(10, Name("mx.example.com"))}});
    Bytes referral = peers::Response(d, false, 0, 2, 2,
                                     {{Pointer(kQuestion), 2, 1, Name("ns1.example.com")},
                                      {Pointer(kQuestion), 2, 1, Name("ns2.example.com")},
                                      {Name("ns1.example.com"), 1, 1, peers::Ipv4("127.0.0.2")},
                                      {Name("ns2.example.com"), 1, 1, peers::Ipv4("127.0.0.3")}});
    peers::NameServer top([&referral](const Bytes&) { return referral; }, 2);
    peers::NameServer ns2([&answer](const Bytes&) { return answer; }, 1, "127.0.0.3");
    peers::NameServer wrongPort([&answer](const Bytes&) { return answer; }, 1, "127.0.0.3", top.port());
    if (!ns2.ok() || !wrongPort.ok()) GTEST_SKIP() << "127.0.0.3 cannot be bound here";
    CDnsResolver r;
    r.SetReferralPort(ns2.port());
    EXPECT_EQ(r.Resolve(Server(top.port()).c_str(), d.c_str(), 20), 0);
    EXPECT_EQ(ns2.queries().size(), 1u);
    EXPECT_EQ(wrongPort.queries().size(), 0u);
    DnsRecord rec;
    ASSERT_EQ(r.GetRecordOfType(0, &rec, 15), 1);
    EXPECT_STREQ(rec.data, "mx.example.com");
}

TEST(Dns, ResolveSpendsItsBudgetOnAReferralLoop) {
    const std::string d = "example.com";
    // A server that refers to itself by a name the platform resolves.
    Bytes referral = peers::Response(d, false, 0, 1, 0, {{Pointer(kQuestion), 2, 1, Name("localhost")}});
    peers::NameServer ns([&referral](const Bytes&) { return referral; }, 10);
    struct {
        int budget;
        int result;
        size_t queries;
    } cases[] = {{0, 10, 1}, {1, 12, 2}, {5, 16, 4}};
    for (const auto& c : cases) {
        size_t before = ns.queries().size();
        CDnsResolver r;
        r.SetReferralPort(ns.port());
        EXPECT_EQ(r.Resolve(Server(ns.port()).c_str(), d.c_str(), c.budget), c.result) << c.budget;
        EXPECT_EQ(ns.queries().size() - before, c.queries) << c.budget;
    }
}

}  // namespace
