// Typed reads and writes of the settings store, the same on every system:
// they go through QueryValue and SetValue of the backend.
#include <cstring>

#include "platform/registry.h"

namespace plat {

long CRegKey::QueryDword(const char* name, uint32_t* value) const {
    // A shorter stored value leaves the rest of the number zero, not stale.
    uint32_t v = 0;
    uint32_t size = sizeof(v);
    long r = QueryValue(name, nullptr, &v, &size);
    if (r == kRegSuccess) *value = v;
    return r;
}

long CRegKey::QueryString(const char* name, char* buf, uint32_t bufSize) const {
    if (!buf || bufSize == 0) return kRegMoreData;
    uint32_t size = bufSize;
    long r = QueryValue(name, nullptr, buf, &size);
    if (r != kRegSuccess) return r;
    // The stored bytes may or may not carry their terminator.
    if (size > 0 && size <= bufSize && buf[size - 1] == '\0') return kRegSuccess;
    if (size >= bufSize) return kRegMoreData;
    buf[size] = '\0';
    return kRegSuccess;
}

long CRegKey::SetDword(const char* name, uint32_t value) { return SetValue(name, kRegDword, &value, sizeof(value)); }

long CRegKey::SetString(const char* name, const char* text) {
    if (!text) text = "";
    return SetValue(name, kRegSz, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

}  // namespace plat
