// Who may send faxes through the gateway: the client networks, the sender
// addresses and the largest message, read from the settings texts. Pure
// functions over text; the gateway applies them and the settings command
// checks what it saves with them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qlsmtp {

// The entries of a list setting: separated by blanks (space, tab) or commas.
std::vector<std::string_view> SplitList(std::string_view text);

// Dotted IPv4 text ("192.0.2.1": four decimal numbers 0..255) to an address
// in host order; false for anything else.
bool ParseIPv4(std::string_view text, uint32_t* address);
// An address in host order as dotted text.
std::string FormatIPv4(uint32_t address);

// IPv4 networks in CIDR form ("192.168.10.0/24"; a bare address is a /32).
// Without entries every address is allowed; with entries only theirs, and
// with entries none of which could be read, none.
class CidrList {
public:
    // Reads the entries of text; each one that cannot be read is skipped and
    // appended to bad.
    void Parse(std::string_view text, std::vector<std::string>* bad);
    // Allows no address at all (a setting that could not be read).
    void DenyAll();
    bool Restricted() const { return m_Restricted; }
    // address in host order.
    bool Allows(uint32_t address) const;

private:
    struct Net {
        uint32_t base;
        uint32_t mask;
    };
    std::vector<Net> m_Nets;
    bool m_Restricted = false;
};

// Sender address patterns: a whole address ("fax@example.com") or every
// address of a domain ("*@example.com"), compared without regard to case.
// Without entries every sender is allowed, the empty one ("<>") included.
class SenderPatterns {
public:
    void Parse(std::string_view text, std::vector<std::string>* bad);
    void DenyAll();
    bool Restricted() const { return m_Restricted; }
    bool Allows(std::string_view address) const;

private:
    std::vector<std::string> m_Patterns;  // in lower case
    bool m_Restricted = false;
};

// The receiving side's limits; as constructed it allows everything, as the
// gateway does without these settings.
struct ReceivePolicy {
    CidrList clients;
    SenderPatterns senders;
    uint32_t maxMessageSize = 0;  // bytes of message data; 0: no limit
};

}  // namespace qlsmtp
