// Reading the receive policy's settings texts: which entries are understood
// and what they allow.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/receive_policy.h"

namespace {

TEST(ReceivePolicy, ClientNetworks) {
    const struct {
        const char* text;
        std::vector<std::string> bad;
        std::vector<const char*> allowed, refused;
    } cases[] = {
        {"", {}, {"1.2.3.4", "0.0.0.0"}, {}},
        {" ,\t", {}, {"1.2.3.4"}, {}},
        {"127.0.0.0/8 192.168.10.0/24", {}, {"127.255.0.1", "192.168.10.0", "192.168.10.255"},
         {"128.0.0.1", "192.168.11.0", "192.168.9.255"}},
        {"10.1.2.3,192.0.2.7/32", {}, {"10.1.2.3", "192.0.2.7"}, {"10.1.2.4", "192.0.2.6"}},
        {"192.168.10.5/24", {}, {"192.168.10.200"}, {"192.168.11.5"}},  // host bits ignored
        {"0.0.0.0/0", {}, {"255.255.255.255", "0.0.0.0"}, {}},
        {"10.0.0.0/33 1.2.3/8 1.2.3.256 localhost 10.0.0.0/ 1.2.3.4/x 1.2.3.4.5 10.0.0.0/8",
         {"10.0.0.0/33", "1.2.3/8", "1.2.3.256", "localhost", "10.0.0.0/", "1.2.3.4/x", "1.2.3.4.5"},
         {"10.9.9.9"}, {"1.2.3.4"}},
        {"nonsense", {"nonsense"}, {}, {"127.0.0.1"}},  // nothing understood: nobody
    };
    for (const auto& c : cases) {
        qlsmtp::CidrList list;
        std::vector<std::string> bad;
        list.Parse(c.text, &bad);
        EXPECT_EQ(c.bad, bad) << c.text;
        uint32_t a = 0;
        for (const char* ip : c.allowed) EXPECT_TRUE(qlsmtp::ParseIPv4(ip, &a) && list.Allows(a)) << c.text << " " << ip;
        for (const char* ip : c.refused) EXPECT_TRUE(qlsmtp::ParseIPv4(ip, &a) && !list.Allows(a)) << c.text << " " << ip;
    }
    EXPECT_EQ("192.0.2.255", qlsmtp::FormatIPv4(0xC00002FF));
}

TEST(ReceivePolicy, SenderPatterns) {
    const struct {
        const char* text;
        std::vector<std::string> bad;
        std::vector<const char*> allowed, refused;
    } cases[] = {
        {"", {}, {"a@b.example", ""}, {}},
        {"Fax@Example.ORG, *@Trusted.example", {},
         {"fax@example.org", "FAX@EXAMPLE.ORG", "x@trusted.EXAMPLE"},
         {"", "fax@example.org.evil", "xfax@example.org", "@trusted.example", "x@sub.trusted.example", "trusted.example"}},
        {"a*@example.org *@ @example.org fax@ nobody <a@b.example> a@b@c *@*.example ok@example.org",
         {"a*@example.org", "*@", "@example.org", "fax@", "nobody", "<a@b.example>", "a@b@c", "*@*.example"},
         {"ok@example.org"}, {"a@example.org"}},
    };
    for (const auto& c : cases) {
        qlsmtp::SenderPatterns patterns;
        std::vector<std::string> bad;
        patterns.Parse(c.text, &bad);
        EXPECT_EQ(c.bad, bad) << c.text;
        for (const char* s : c.allowed) EXPECT_TRUE(patterns.Allows(s)) << c.text << " " << s;
        for (const char* s : c.refused) EXPECT_FALSE(patterns.Allows(s)) << c.text << " " << s;
    }
}

}  // namespace
