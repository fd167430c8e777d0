// Settings store under HKEY_LOCAL_MACHINE.
//
// Windows: the registry itself. Linux: a REGEDIT4 text file named by
// QLSMTP_REGISTRY (default /var/lib/qlsmtp/registry.reg), re-read at every
// access, replaced atomically on every change and modified under an advisory
// lock on "<file>.lock", so that the fax server and the gateway never lose
// each other's updates.
//
// Results are Win32 error codes on both systems: 0 success, 2 value or key
// missing, 234 buffer too small, 5 access denied, others as the system gives.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace plat {

enum RegType : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
};

// One value to write with CRegKey::SetValues.
struct RegWrite {
    const char* name;
    uint32_t type;
    const void* data;
    uint32_t size;
};

constexpr long kRegSuccess = 0;
constexpr long kRegNotFound = 2;
constexpr long kRegMoreData = 234;

// An open key below HKEY_LOCAL_MACHINE. Closes itself when it goes.
class CRegKey {
public:
    CRegKey();
    ~CRegKey();
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Opens (or, with create, creates) HKEY_LOCAL_MACHINE\subkey.
    long Open(const char* subkey, bool create);
    void Close();
    bool IsOpen() const;

    // Reads a value as raw bytes, like RegQueryValueEx: *size is the buffer
    // size on entry and the stored size on return. A value that does not fit
    // fails with 234 and leaves the buffer unspecified. type may be null.
    long QueryValue(const char* name, uint32_t* type, void* data, uint32_t* size) const;
    // A 4-byte read of any stored type (fails unless the value fits 4 bytes).
    long QueryDword(const char* name, uint32_t* value) const;
    // Reads a string into buf of bufSize bytes and NUL-terminates it; fails
    // with 234 when the stored bytes and a terminator do not fit.
    long QueryString(const char* name, char* buf, uint32_t bufSize) const;

    long SetValue(const char* name, uint32_t type, const void* data, uint32_t size);
    // Writes several values in order. Linux stores them in one replacement
    // of the file, so other readers see none or all of them.
    long SetValues(const RegWrite* writes, int count);
    long SetDword(const char* name, uint32_t value);
    // Stored with its terminating NUL, as the registry editor writes strings.
    long SetString(const char* name, const char* text);
    long DeleteValue(const char* name);

    // Removes HKEY_LOCAL_MACHINE\subkey with its values (no subkeys).
    static long DeleteKey(const char* subkey);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Where the Linux settings file lives (empty on Windows).
std::string RegistryFilePath();

}  // namespace plat
