// Platform pieces that are the same on every system.
#include <cctype>
#include <cstring>

#include "platform/eventlog.h"
#include "platform/file.h"

namespace plat {

bool MatchPattern(const char* pattern, const char* name) {
    // Iterative '*' matching with one back-tracking point.
    const char* starP = nullptr;
    const char* starN = nullptr;
    while (*name) {
        unsigned char p = static_cast<unsigned char>(*pattern);
        unsigned char n = static_cast<unsigned char>(*name);
        if (p == '*') {
            starP = ++pattern;
            starN = name;
        } else if (p == '?' || (p && std::tolower(p) == std::tolower(n))) {
            ++pattern;
            ++name;
        } else if (starP) {
            pattern = starP;
            name = ++starN;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

void FormatEventMessage(const char* text, const char* const* strings, int count, char* out,
                        int outSize) {
    if (outSize <= 0) return;
    int o = 0;
    auto put = [&](char c) {
        if (o < outSize - 1) out[o++] = c;
    };
    for (const char* p = text; *p; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            int idx = p[1] - '1';
            if (idx < count && strings && strings[idx])
                for (const char* s = strings[idx]; *s; ++s) put(*s);
            ++p;
        } else {
            put(*p);
        }
    }
    out[o] = '\0';
    while (o > 0 && (out[o - 1] == '\n' || out[o - 1] == '\r')) out[--o] = '\0';
}

}  // namespace plat
