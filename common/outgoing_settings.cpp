// The text forms of SmartHost and RetryMinutes (see outgoing_settings.h).
#include "common/outgoing_settings.h"

namespace qlsmtp {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trimmed(const std::string& text) {
    size_t first = 0, last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

}  // namespace

bool ParseSmartHost(const std::string& text, std::string* host, unsigned* port) {
    std::string t = Trimmed(text);
    size_t colon = t.find(':');
    std::string name = t.substr(0, colon);
    unsigned number = 0;
    if (colon != std::string::npos) {
        std::string digits = t.substr(colon + 1);
        if (name.empty() || digits.empty() || digits.size() > 5) return false;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (number < 1 || number > 65535) return false;
    }
    if (name.size() > 255) return false;
    for (char c : name)
        if (IsBlank(c)) return false;
    *host = name;
    *port = number;
    return true;
}

bool ParseRetryMinutes(const std::string& text, std::vector<uint32_t>* waitsMs) {
    std::vector<uint32_t> waits;
    size_t i = 0;
    for (;;) {
        while (i < text.size() && IsBlank(text[i])) ++i;
        if (i == text.size()) break;
        if (static_cast<int>(waits.size()) == kMaxRetryWaits) return false;
        // Whole minutes and a fraction, of which six digits count.
        uint64_t whole = 0, fraction = 0, scale = 1;
        size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && whole <= kMaxRetryMinutes)
            whole = whole * 10 + static_cast<uint64_t>(text[i++] - '0');
        bool digits = i > start;
        if (i < text.size() && text[i] == '.') {
            ++i;
            for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, digits = true)
                if (scale < 1000000) {
                    fraction = fraction * 10 + static_cast<uint64_t>(text[i] - '0');
                    scale *= 10;
                }
        }
        if (!digits || (i < text.size() && !IsBlank(text[i]))) return false;
        uint64_t ms = whole * 60000 + fraction * 60000 / scale;
        if (ms > uint64_t{kMaxRetryMinutes} * 60000) return false;
        waits.push_back(static_cast<uint32_t>(ms));
    }
    *waitsMs = waits;
    return true;
}

}  // namespace qlsmtp
