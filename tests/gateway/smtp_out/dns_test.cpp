// The DNS answer parser over dns/answers.txt, the query, and the resolver's
// exchanges and referral walk on loopback.
#include <memory>
#include <sstream>

#include "gateway/smtp_out/dns.h"
#include "gateway/smtp_out/peers.h"

namespace {

TEST(DnsWire, Answers) {
    std::vector<peers::AnswerCase> cases = peers::LoadAnswers();
    ASSERT_GE(cases.size(), 24u);
    for (const peers::AnswerCase& c : cases) {
        // Zeros behind the bytes: a read past them would be taken for a root name.
        const std::string buf = c.bytes + std::string(16, '\0');
        auto bytes = std::span(reinterpret_cast<const uint8_t*>(buf.data()), c.bytes.size());
        dnswire::Answer a = dnswire::ParseAnswer(bytes, c.at);
        std::vector<std::string> got = {"result " + std::to_string(a.result) + " aa " +
                                        std::to_string(a.authoritative)};
        for (const DnsRecord& r : a.records) {
            std::ostringstream s;
            s << r.name << " " << r.type << " " << r.ttl << " " << r.preference << " [" << r.data << "] [" << r.data2
              << "]";
            if (r.type == CDnsResolver::kTypeSOA)
                s << " " << r.serial << " " << r.refresh << " " << r.retry << " " << r.expire << " " << r.minimum;
            got.push_back(s.str());
        }
        EXPECT_EQ(got, c.expected) << c.title;
    }
}

std::string Server(int port) { return "127.0.0.1:" + std::to_string(port); }
const char kNine[] = "all three sections in response order, MX preference not sorted";

TEST(Dns, QueryAndRefusedInput) {
    unsigned char q[300];
    ASSERT_EQ(CDnsResolver::BuildQuery("example.com", q, sizeof(q)), 31);
    const std::string expected = peers::Hex("001d863901000001000000000000076578616d706c6503636f6d00000f0001");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(q), 31), expected);
    CDnsResolver r;
    peers::NameServer ns("none");
    EXPECT_EQ(r.Lookup(Server(ns.server.m_port).c_str(), "example.com"), 2);  // closed without an answer
    ns.server.Join();
    EXPECT_EQ(ns.last, expected);
    std::string longest(236, 'a');
    for (size_t i = 60; i < longest.size(); i += 61) longest[i] = '.';
    EXPECT_EQ(CDnsResolver::BuildQuery(longest.c_str(), q, sizeof(q)), 256);
    for (std::string d : {std::string(".a.b"), std::string("a..b"), std::string("a.b."), longest + "a"})
        EXPECT_EQ(CDnsResolver::BuildQuery(d.c_str(), q, sizeof(q)), 0) << d;
    EXPECT_EQ(r.Lookup("127.0.0.1:70000", "example.com"), 1);
}

TEST(Dns, ResolveFollowsReferrals) {
    const std::string referral = "referral to ns1 and ns2 at 127.0.0.2 and 127.0.0.3";
    struct {
        std::string first;
        int referred, budget, result, queries, mx;  // referred -1: the first server itself
    } cases[] = {
        {kNine, 0, 20, 0, 1, 1},                     // authoritative at once
        {"without authority", 0, 20, 2, 1, 1},       // no referral to follow
        {referral, 0, 20, 2, 1, 0},                  // both referred servers down: the referral stays
        {referral, 1, 20, 0, 2, 1},                  // ns1 down, ns2 answers
        {referral, 1, 0, 10, 1, 0},                  // no budget
        {referral, 1, 1, 12, 1, 0},                  // the budget is spent on ns1
        {referral, 1, 3, 13, 2, 1},                  // spent with ns2's answer, which is kept
        {"referral to localhost", -1, 5, 16, 4, 0},  // a server that refers to itself
    };
    for (const auto& c : cases) {
        peers::NameServer top(c.first, 4);
        peers::NameServer ns2(kNine, c.referred > 0, "127.0.0.3");
        if (!ns2.server.m_ok) GTEST_SKIP() << "127.0.0.3 cannot be bound here";
        CDnsResolver r;
        r.SetReferralPort(c.referred > 0 ? ns2.server.m_port : c.referred < 0 ? top.server.m_port : 1);
        EXPECT_EQ(r.Resolve(Server(top.server.m_port).c_str(), "example.com", c.budget), c.result) << c.first;
        EXPECT_EQ(top.queries + ns2.queries, c.queries) << c.first;
        EXPECT_EQ(r.GetRecordOfType(0, std::make_unique<DnsRecord>().get(), CDnsResolver::kTypeMX), c.mx) << c.first;
    }
    CDnsResolver r;
    EXPECT_EQ(r.Resolve(Server(peers::ClosedPort()).c_str(), "example.com", 20), 10);
    EXPECT_EQ(r.GetRecordCount(), 0);
}

}  // namespace
