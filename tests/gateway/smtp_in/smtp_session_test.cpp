// The receiving SMTP session in memory, driven by the dialogues in
// dialogues/*.txt (their format is described at the top of commands.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gateway/smtp_in/smtp_session.h"
#include "gateway/smtp_in/smtp_test_util.h"

namespace {

using Events = std::vector<std::string>;  // "<" replies, "=" a stored message, "lost", "discarded", "end"

struct Dialogue {
    std::string name, input;
    Events expected;
    qlsmtp::ReceivePolicy policy;
    uint32_t client = 0;
};

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] == '\\' && i + 1 < text.size() ? text[++i] : '\0';
        if (c == 'x')
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)), i += 2;
        else
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c ? c : text[i];
    }
    return out;
}

// Adds an event; consecutive replies, or stored lines, make one event.
void Add(Events& events, char kind, const std::string& text) {
    if (!events.empty() && events.back()[0] == kind)
        events.back() += text;
    else
        events.push_back(kind + text);
}

// Every dialogue of every file, read once.
const std::vector<Dialogue>& Dialogues() {
    static std::vector<Dialogue> all;
    if (!all.empty()) return all;
    const std::string here = __FILE__;
    const std::string dir = here.substr(0, here.find_last_of("/\\") + 1) + "dialogues";
    for (const std::string& name : rxtest::List(dir, "*.txt")) {
        const std::string text = rxtest::ReadAll(dir + plat::kPathSep + name);
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = text.substr(start, end - start);
            const std::string kind = line.substr(0, 2);
            const std::string bytes = kind == "> " || kind == "< " || kind == "= " ? Unescape(line.substr(2)) : "";
            if (line.compare(0, 3, "== ") == 0) {
                all.push_back({line.substr(3), "", {std::string("<220 ") + rxtest::kDomain + " Service Ready\r\n"}, {}, 0});
            } else if (kind == "> ") {
                all.back().input += bytes;
            } else if (kind == "< " || kind == "= ") {
                if (all.back().input.empty() && kind == "< " && all.back().expected.size() == 1 &&
                    all.back().expected[0].starts_with("<220 "))
                    all.back().expected.clear();  // replies before any input replace the greeting
                Add(all.back().expected, line[0], bytes);
            } else if (kind == "! ") {  // the policy: "! <setting> <value>" or "! client <address>"
                const std::string name = line.substr(2, line.find(' ', 2) - 2), value = line.substr(3 + name.size());
                std::vector<std::string> bad;
                qlsmtp::ReceivePolicy& policy = all.back().policy;
                if (name == "client") qlsmtp::ParseIPv4(value, &all.back().client);
                if (name == "AllowedClients") policy.clients.Parse(value, &bad);
                if (name == "AllowedSenders") policy.senders.Parse(value, &bad);
                if (name == "MaxMessageSize") policy.maxMessageSize = static_cast<uint32_t>(std::stoul(value));
            } else if (line == "end" || line == "lost" || line == "discarded") {
                all.back().expected.push_back(line);
            }
        }
    }
    return all;
}

// Records the replies and each stored message.
struct Recorder {
    Events m_Events;
    std::string m_Message;

    SmtpSessionEvents Callbacks() {
        return {
            .reply = [this](std::string_view text) { Add(m_Events, '<', std::string(text)); },
            .beginMessage = [this] { m_Message.clear(); },
            .storeBytes = [this](std::string_view bytes) { m_Message += bytes; },
            .endOfData = [this] { return m_Events.push_back("=" + m_Message), true; },
            .messageAcknowledged = [] {},
            .messageAbandoned = [this] { m_Events.push_back("lost"); },
            .messageDiscarded = [this] { m_Events.push_back("discarded"); },
            .refused = {},
        };
    }
};

// Feeds the input up to split at once, then the rest in pieces of step
// bytes (0: at once), and ends it.
Events Converse(const Dialogue& d, size_t split, size_t step = 0) {
    const std::string& input = d.input;
    Recorder rec;
    SmtpSession session(rxtest::kDomain, rec.Callbacks(), &d.policy, d.client);
    session.Start();
    session.Feed(input.data(), split);
    const size_t piece = step ? step : input.size();
    for (size_t at = split; at < input.size(); at += piece)
        session.Feed(input.data() + at, std::min(input.size() - at, piece));
    if (session.Ended()) rec.m_Events.push_back("end");
    session.EndOfInput();
    return rec.m_Events;
}

}  // namespace

TEST(SmtpSession, Dialogues) {
    ASSERT_GE(Dialogues().size(), 40u);
    for (const Dialogue& d : Dialogues()) EXPECT_EQ(Converse(d, d.input.size()), d.expected) << d.name;
}

// The bytes may arrive in any split: every dialogue split in two at every
// offset, and in single bytes, gives the same replies and stored bytes.
TEST(SmtpSession, AnySplit) {
    for (const Dialogue& d : Dialogues()) {
        for (size_t split = 0; split < d.input.size(); ++split)
            ASSERT_EQ(Converse(d, split), d.expected) << d.name << " split at " << split;
        ASSERT_EQ(Converse(d, 0, 1), d.expected) << d.name << " in single bytes";
    }
}
