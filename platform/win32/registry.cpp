// Settings store on Windows: the registry itself, under HKEY_LOCAL_MACHINE.
#include "platform/win32/win.h"

#include <cstring>

#include "platform/registry.h"

namespace plat {

struct CRegKey::Impl {
    HKEY m_key = nullptr;
};

CRegKey::CRegKey() : m_impl(std::make_unique<Impl>()) {}

CRegKey::~CRegKey() { Close(); }

long CRegKey::Open(const char* subkey, bool create) {
    Close();
    if (!subkey) return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG r;
    if (create) {
        DWORD disposition = 0;
        r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &key, &disposition);
    } else {
        r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_ALL_ACCESS, &key);
    }
    if (r == ERROR_SUCCESS) m_impl->m_key = key;
    return r;
}

void CRegKey::Close() {
    if (m_impl && m_impl->m_key) {
        RegCloseKey(m_impl->m_key);
        m_impl->m_key = nullptr;
    }
}

bool CRegKey::IsOpen() const { return m_impl->m_key != nullptr; }

long CRegKey::QueryValue(const char* name, uint32_t* type, void* data, uint32_t* size) const {
    if (!m_impl->m_key) return ERROR_INVALID_HANDLE;
    if (data && !size) return ERROR_INVALID_PARAMETER;
    DWORD t = REG_NONE;
    DWORD n = size ? *size : 0;
    LONG r = RegQueryValueExA(m_impl->m_key, name, nullptr, &t, static_cast<BYTE*>(data),
                              size ? &n : nullptr);
    if (size) *size = n;
    if (type) *type = t;
    return r;
}

long CRegKey::SetValue(const char* name, uint32_t type, const void* data, uint32_t size) {
    if (!m_impl->m_key) return ERROR_INVALID_HANDLE;
    return RegSetValueExA(m_impl->m_key, name, 0, type, static_cast<const BYTE*>(data), size);
}

long CRegKey::SetValues(const RegWrite* writes, int count) {
    for (int i = 0; i < count; ++i) {
        long r = SetValue(writes[i].name, writes[i].type, writes[i].data, writes[i].size);
        if (r != 0) return r;
    }
    return 0;
}

long CRegKey::DeleteValue(const char* name) {
    if (!m_impl->m_key) return ERROR_INVALID_HANDLE;
    return RegDeleteValueA(m_impl->m_key, name);
}

long CRegKey::DeleteKey(const char* subkey) {
    if (!subkey || !*subkey) return ERROR_INVALID_PARAMETER;
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, subkey);
}

std::string RegistryFilePath() { return std::string(); }

}  // namespace plat
