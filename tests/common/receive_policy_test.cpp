// Reading the receive policy's settings texts: the cases in
// receive_policy_cases.txt (their format is described at its top).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "common/receive_policy.h"

TEST(ReceivePolicy, Cases) {
    const std::string here = __FILE__;
    std::ifstream in(here.substr(0, here.find_last_of("/\\") + 1) + "receive_policy_cases.txt");
    const auto words = [](const std::string& text) {
        std::vector<std::string> list;
        for (std::string_view w : qlsmtp::SplitList(text)) list.emplace_back(w == "<>" ? "" : w);
        return list;
    };
    int cases = 0;
    for (std::string line; std::getline(in, line); ++cases) {
        if (line.empty() || line[0] == '#') {
            --cases;
            continue;
        }
        std::vector<std::string> f;  // the fields, without the blanks around them
        for (size_t at = 0, bar; at <= line.size(); at = bar + 1) {
            bar = std::min(line.find('|', at), line.size());
            const size_t b = line.find_first_not_of(' ', at), e = line.find_last_not_of(' ', bar - 1);
            f.push_back(b < bar ? line.substr(b, e - b + 1) : "");
        }
        ASSERT_EQ(5u, f.size()) << line;
        qlsmtp::CidrList clients;
        qlsmtp::SenderPatterns senders;
        std::vector<std::string> bad;
        f[0] == "clients" ? clients.Parse(f[1], &bad) : senders.Parse(f[1], &bad);
        EXPECT_EQ(words(f[2]), bad) << line;
        for (int i : {3, 4}) {
            for (const std::string& a : words(f[i])) {
                uint32_t ip = 0;
                const bool allowed =
                    f[0] == "clients" ? qlsmtp::ParseIPv4(a, &ip) && clients.Allows(ip) : senders.Allows(a);
                EXPECT_EQ(i == 3, allowed) << line << ": " << a;
            }
        }
    }
    EXPECT_EQ(11, cases);
    EXPECT_EQ("192.0.2.255", qlsmtp::FormatIPv4(0xC00002FF));
}
