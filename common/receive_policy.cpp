// The receiving side's limits, read from the settings texts (see
// receive_policy.h).
#include "common/receive_policy.h"

#include <algorithm>
#include <cstdio>

namespace qlsmtp {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A decimal number of 1 to digits digits, at most max.
bool ParseNumber(std::string_view text, size_t digits, uint32_t max, uint32_t* value) {
    if (text.empty() || text.size() > digits) return false;
    uint32_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint32_t>(c - '0');
    }
    if (n > max) return false;
    *value = n;
    return true;
}

}  // namespace

std::vector<std::string_view> SplitList(std::string_view text) {
    std::vector<std::string_view> entries;
    constexpr std::string_view kSeparators = " \t,";
    for (size_t at = text.find_first_not_of(kSeparators); at != std::string_view::npos;) {
        const size_t end = std::min(text.find_first_of(kSeparators, at), text.size());
        entries.push_back(text.substr(at, end - at));
        at = text.find_first_not_of(kSeparators, end);
    }
    return entries;
}

bool ParseIPv4(std::string_view text, uint32_t* address) {
    uint32_t result = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? text.find('.') : text.size();
        uint32_t part = 0;
        if (dot == std::string_view::npos || !ParseNumber(text.substr(0, dot), 3, 255, &part)) return false;
        result = result << 8 | part;
        text.remove_prefix(std::min(dot + 1, text.size()));
    }
    *address = result;
    return true;
}

std::string FormatIPv4(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", address >> 24, address >> 16 & 255, address >> 8 & 255,
                  address & 255);
    return text;
}

void CidrList::Parse(std::string_view text, std::vector<std::string>* bad) {
    for (std::string_view entry : SplitList(text)) {
        m_Restricted = true;
        const size_t slash = entry.find('/');
        uint32_t address = 0, bits = 32;
        if (!ParseIPv4(entry.substr(0, slash), &address) ||
            (slash != std::string_view::npos && !ParseNumber(entry.substr(slash + 1), 2, 32, &bits))) {
            bad->emplace_back(entry);
            continue;
        }
        const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
        m_Nets.push_back({address & mask, mask});
    }
}

void CidrList::DenyAll() {
    m_Nets.clear();
    m_Restricted = true;
}

bool CidrList::Allows(uint32_t address) const {
    if (!m_Restricted) return true;
    return std::any_of(m_Nets.begin(), m_Nets.end(), [address](const Net& n) { return (address & n.mask) == n.base; });
}

// An entry is a whole address or "*@domain": one "@" with text on both sides,
// and no "*" but the whole local part, nor angle brackets.
void SenderPatterns::Parse(std::string_view text, std::vector<std::string>* bad) {
    for (std::string_view entry : SplitList(text)) {
        m_Restricted = true;
        const size_t at = entry.find('@');
        const std::string_view local = entry.substr(0, at), domain = entry.substr(at + 1);
        const bool ok = at != std::string_view::npos && !local.empty() && !domain.empty() &&
                        domain.find_first_of("@*<>") == std::string_view::npos &&
                        (local == "*" || local.find_first_of("*<>") == std::string_view::npos);
        if (ok) {
            m_Patterns.push_back(Lower(entry));
        } else {
            bad->emplace_back(entry);
        }
    }
}

void SenderPatterns::DenyAll() {
    m_Patterns.clear();
    m_Restricted = true;
}

bool SenderPatterns::Allows(std::string_view address) const {
    if (!m_Restricted) return true;
    const std::string lower = Lower(address);
    return std::any_of(m_Patterns.begin(), m_Patterns.end(), [&lower](const std::string& p) {
        if (p.compare(0, 2, "*@") != 0) return p == lower;
        // Every address of the domain: a local part, then "@domain" at the end.
        return lower.size() > p.size() - 1 && lower.compare(lower.size() - (p.size() - 1), p.size() - 1, p, 1) == 0;
    });
}

}  // namespace qlsmtp
