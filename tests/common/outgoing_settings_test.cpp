// The text forms of SmartHost and RetryMinutes, accepted and refused.
#include <gtest/gtest.h>

#include "common/outgoing_settings.h"

TEST(OutgoingSettings, SmartHostForms) {
    // Text and the host and port taken from it, "-" when refused.
    const char* cases[][2] = {
        {"", ":0"},           {" relay.example.net ", "relay.example.net:0"},
        {"10.0.0.25:587", "10.0.0.25:587"}, {"relay:65535", "relay:65535"},
        {"relay:0", "-"},     {"relay:65536", "-"}, {"relay:", "-"}, {":25", "-"},
        {"relay:2x", "-"},    {"relay one", "-"}, {"relay:25:26", "-"},
    };
    for (const auto& c : cases) {
        std::string host;
        unsigned port = 0;
        bool ok = qlsmtp::ParseSmartHost(c[0], &host, &port);
        EXPECT_EQ(ok ? host + ":" + std::to_string(port) : "-", c[1]) << c[0];
    }
}

TEST(OutgoingSettings, RetryMinutesForms) {
    struct {
        const char* text;
        bool ok;
        std::vector<uint32_t> ms;
    } cases[] = {
        {"", true, {}}, {" \t", true, {}}, {"1 5 15 60", true, {60000, 300000, 900000, 3600000}},
        {"0.05\t0.05", true, {3000, 3000}}, {"0 .5 1440", true, {0, 30000, 86400000}}, {"1 2 3 4 5", false, {}},
        {"1441", false, {}}, {"1440.5", false, {}}, {"1,5", false, {}}, {"-1", false, {}}, {".", false, {}},
        {"5m", false, {}},
    };
    for (const auto& c : cases) {
        std::vector<uint32_t> ms{7};
        EXPECT_EQ(qlsmtp::ParseRetryMinutes(c.text, &ms), c.ok) << c.text;
        EXPECT_EQ(ms, c.ok ? c.ms : std::vector<uint32_t>{7}) << c.text;
    }
}
