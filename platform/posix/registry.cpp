// The settings store on Linux: a REGEDIT4 text file, as the Windows registry
// editor exports it. Reads parse the file afresh (a parsed copy is reused
// while the file is unchanged). Every change, under an exclusive flock on
// "<file>.lock", writes the whole new content to another file and puts it in
// place of the settings file in one step, so readers never see half a file
// and two processes never lose each other's updates. The file replaced is
// kept as "<file>.spare" and rewritten by the next change, when no one has it
// open; that saves creating and deleting a file per change, which on some
// file systems costs more than the rest of the change.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry.h"

namespace plat {

namespace {

const char kRoot[] = "HKEY_LOCAL_MACHINE\\";

struct Value {
    std::string name;  // empty for the default value "@"
    uint32_t type = kRegSz;
    std::string data;  // raw bytes as the registry holds them
};

struct Key {
    std::string path;  // below HKEY_LOCAL_MACHINE, as written
    std::vector<Value> values;
};

struct Hive {
    std::vector<Key> keys;
    std::vector<std::string> foreign;  // sections of other roots, kept verbatim
};

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

// Parses a quoted string starting at s[i] == '"'; i ends after the closing quote.
bool ParseQuoted(const std::string& s, size_t& i, std::string* out) {
    if (i >= s.size() || s[i] != '"') return false;
    ++i;
    out->clear();
    while (i < s.size()) {
        char c = s[i++];
        if (c == '\\' && i < s.size()) {
            out->push_back(s[i++]);
        } else if (c == '"') {
            return true;
        } else {
            out->push_back(c);
        }
    }
    return false;
}

bool ParseHexBytes(const std::string& s, std::string* out) {
    out->clear();
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ',' || s[i] == ' ' || s[i] == '\t')) ++i;
        if (i >= s.size()) break;
        if (i + 1 >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i])) ||
            !std::isxdigit(static_cast<unsigned char>(s[i + 1])))
            return false;
        out->push_back(static_cast<char>(std::strtoul(s.substr(i, 2).c_str(), nullptr, 16)));
        i += 2;
    }
    return true;
}

void ParseValueLine(const std::string& line, Key* key) {
    Value v;
    size_t i = 0;
    if (line[0] == '@') {
        i = 1;
    } else if (!ParseQuoted(line, i, &v.name)) {
        return;
    }
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size() || line[i] != '=') return;
    ++i;
    std::string rest = Trim(line.substr(i));
    if (rest == "-") {  // deletion marker of the registry editor
        return;
    }
    if (!rest.empty() && rest[0] == '"') {
        size_t j = 0;
        std::string text;
        if (!ParseQuoted(rest, j, &text)) return;
        v.type = kRegSz;
        v.data = text;
        v.data.push_back('\0');
    } else if (rest.compare(0, 6, "dword:") == 0) {
        uint32_t d = static_cast<uint32_t>(std::strtoul(rest.c_str() + 6, nullptr, 16));
        v.type = kRegDword;
        v.data.assign(reinterpret_cast<const char*>(&d), 4);
    } else if (rest.compare(0, 4, "hex:") == 0) {
        v.type = kRegBinary;
        if (!ParseHexBytes(rest.substr(4), &v.data)) return;
    } else if (rest.compare(0, 4, "hex(") == 0) {
        size_t close = rest.find("):");
        if (close == std::string::npos) return;
        v.type = static_cast<uint32_t>(std::strtoul(rest.c_str() + 4, nullptr, 16));
        if (!ParseHexBytes(rest.substr(close + 2), &v.data)) return;
    } else {
        return;
    }
    for (Value& old : key->values)
        if (EqualNoCase(old.name, v.name)) {
            old = v;
            return;
        }
    key->values.push_back(std::move(v));
}

void Parse(const std::string& text, Hive* hive) {
    hive->keys.clear();
    hive->foreign.clear();
    // Join continuation lines (a trailing backslash outside a string).
    std::vector<std::string> lines;
    std::string cur;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!cur.empty()) line = Trim(line);
        cur += line;
        if (!cur.empty() && cur.back() == '\\' && cur[0] != '[' && cur.find("=hex") != std::string::npos) {
            cur.pop_back();
        } else {
            lines.push_back(cur);
            cur.clear();
        }
        if (nl == std::string::npos) break;
        pos = nl + 1;
    }
    if (!cur.empty()) lines.push_back(cur);

    Key* key = nullptr;
    bool inForeign = false;
    for (const std::string& raw : lines) {
        std::string line = Trim(raw);
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            size_t end = line.rfind(']');
            std::string name = line.substr(1, end == std::string::npos ? std::string::npos : end - 1);
            key = nullptr;
            inForeign = false;
            if (!name.empty() && name[0] == '-') continue;  // deletion of a key: ignore
            if (name.size() >= sizeof(kRoot) - 1 &&
                EqualNoCase(name.substr(0, sizeof(kRoot) - 1), kRoot)) {
                std::string sub = name.substr(sizeof(kRoot) - 1);
                for (Key& k : hive->keys)
                    if (EqualNoCase(k.path, sub)) key = &k;
                if (!key) {
                    hive->keys.push_back(Key{sub, {}});
                    key = &hive->keys.back();
                }
            } else {
                hive->foreign.push_back(line);
                inForeign = true;
            }
            continue;
        }
        if (inForeign) {
            hive->foreign.push_back(line);
            continue;
        }
        if (key && (line[0] == '"' || line[0] == '@')) ParseValueLine(line, key);
    }
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string HexList(const std::string& data) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(buf, sizeof(buf), "%s%02x", i ? "," : "", static_cast<unsigned char>(data[i]));
        out += buf;
    }
    return out;
}

std::string Serialize(const Hive& hive) {
    std::string out = "REGEDIT4\r\n";
    for (const Key& k : hive.keys) {
        out += "\r\n[";
        out += kRoot;
        out += k.path;
        out += "]\r\n";
        for (const Value& v : k.values) {
            if (v.name.empty()) {
                out += '@';
            } else {
                out += '"';
                out += Escape(v.name);
                out += '"';
            }
            out += '=';
            std::string text = v.data;
            if (!text.empty() && text.back() == '\0') text.pop_back();
            bool plain = text.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
            if (v.type == kRegSz && plain) {
                out += '"';
                out += Escape(text);
                out += '"';
            } else if (v.type == kRegDword && v.data.size() == 4) {
                uint32_t d;
                std::memcpy(&d, v.data.data(), 4);
                char buf[16];
                std::snprintf(buf, sizeof(buf), "dword:%08x", d);
                out += buf;
            } else if (v.type == kRegBinary) {
                out += "hex:" + HexList(v.data);
            } else {
                char buf[16];
                std::snprintf(buf, sizeof(buf), "hex(%x):", v.type);
                out += buf + HexList(v.data);
            }
            out += "\r\n";
        }
    }
    if (!hive.foreign.empty()) {
        for (const std::string& line : hive.foreign) {
            if (line[0] == '[') out += "\r\n";
            out += line + "\r\n";
        }
    }
    return out;
}

std::mutex g_mutex;  // guards the cache and orders this process's writers
Hive g_cache;
struct stat g_cacheStat;
std::string g_cachePath;
bool g_cacheValid = false;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void KeepAsCache(Hive&& hive, const std::string& path, const struct stat& st) {
    g_cache = std::move(hive);
    g_cacheStat = st;
    g_cachePath = path;
    g_cacheValid = true;
}

// The parsed settings file, from the cache while the file is unchanged: 0,
// 2 when it does not exist, else the error (a file that cannot be read whole
// is never taken for one with less in it). *hive stays valid while g_mutex
// is held.
long Load(const Hive** hive) {
    std::string path = RegistryFilePath();
    struct stat st;
    if (g_cacheValid && g_cachePath == path && stat(path.c_str(), &st) == 0 && SameFile(st, g_cacheStat)) {
        g_cacheStat = st;  // the same version; its permissions as they are now
        *hive = &g_cache;
        return 0;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        g_cacheValid = false;
        return errno == ENOENT ? kRegNotFound : errno;
    }
    if (fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return e;
    }
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n > 0) {
            text.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        int e = errno;
        ::close(fd);
        return e;
    }
    ::close(fd);
    Hive parsed;
    Parse(text, &parsed);
    KeepAsCache(std::move(parsed), path, st);
    *hive = &g_cache;
    return 0;
}

// For a change: a copy of the settings to edit, empty when there is no file.
long LoadCopy(Hive* hive) {
    const Hive* current = nullptr;
    long r = Load(&current);
    *hive = r == 0 ? *current : Hive();
    return r;
}

// Holds the advisory lock of the settings file for a read-modify-write.
class FileLock {
public:
    FileLock() {
        std::string lockPath = RegistryFilePath() + ".lock";
        m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd >= 0) {
            while (flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int m_fd = -1;
};

bool WriteAll(int fd, const std::string& text, int* error) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            *error = n < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Gives every version a modification time of its own, later than the last
// one this process wrote: readers that keep a parsed copy while the file's
// identity, size and time stay the same then see each change, although the
// spare and the settings file take turns under two identities.
void StampVersion(int fd) {
    static struct timespec last = {0, 0};
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec < last.tv_sec || (now.tv_sec == last.tv_sec && now.tv_nsec <= last.tv_nsec)) {
        now = last;
        if (++now.tv_nsec == 1000000000L) {
            now.tv_nsec = 0;
            ++now.tv_sec;
        }
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, now};
    if (futimens(fd, times) == 0) last = now;
}

// Writes text as the whole content of fd (size bytes long before), starts
// writing it to the disk and returns the file's status afterwards.
bool WriteVersion(int fd, const std::string& text, off_t size, struct stat* st, int* error) {
    if (!WriteAll(fd, text, error)) return false;
    if (size > static_cast<off_t>(text.size()) && ftruncate(fd, static_cast<off_t>(text.size())) != 0) {
        *error = errno;
        return false;
    }
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    StampVersion(fd);
    if (fstat(fd, st) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

// Rewrites the spare in place and swaps it with the settings file. Only when
// no one has the spare open (a reader of an earlier version): the write
// lease is granted only then, and an open racing with the rewrite waits
// until the lease is given up.
bool StoreInSpare(const std::string& path, const std::string& spare, const std::string& text, struct stat* st) {
    int fd = ::open(spare.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode) || fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
        ::close(fd);
        return false;
    }
    // The new version keeps the permissions of the settings file as read
    // under the lock.
    if (g_cacheValid && g_cachePath == path && (g_cacheStat.st_mode & 07777) != (st->st_mode & 07777))
        fchmod(fd, g_cacheStat.st_mode & 07777);
    int error = 0;
    bool written = WriteVersion(fd, text, st->st_size, st, &error);
    fcntl(fd, F_SETLEASE, F_UNLCK);
    ::close(fd);
    return written && renameat2(AT_FDCWD, spare.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0;
}

// Writes hive as the new settings file and keeps it as the parsed copy.
long Store(Hive&& hive) {
    std::string path = RegistryFilePath();
    std::string spare = path + ".spare";
    std::string text = Serialize(hive);
    struct stat st;
    if (!StoreInSpare(path, spare, text, &st)) {
        // A new file; the one it replaces becomes the spare.
        std::string tmp = path + ".tmp." + std::to_string(::getpid());
        int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) return errno;
        int error = 0;
        bool written = WriteVersion(fd, text, 0, &st, &error);
        ::close(fd);
        if (!written) {
            ::unlink(tmp.c_str());
            return error;
        }
        if (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
            if (::rename(tmp.c_str(), spare.c_str()) != 0) ::unlink(tmp.c_str());
        } else if (::rename(tmp.c_str(), path.c_str()) != 0) {  // no settings file yet, or no exchange here
            int e = errno;
            ::unlink(tmp.c_str());
            return e;
        }
    }
    KeepAsCache(std::move(hive), path, st);
    return 0;
}

const Key* FindKey(const Hive& hive, const std::string& sub) {
    for (const Key& k : hive.keys)
        if (EqualNoCase(k.path, sub)) return &k;
    return nullptr;
}

Key* FindKey(Hive& hive, const std::string& sub) {
    return const_cast<Key*>(FindKey(static_cast<const Hive&>(hive), sub));
}

bool KeyExists(const Hive& hive, const std::string& sub) {
    for (const Key& k : hive.keys) {
        if (EqualNoCase(k.path, sub)) return true;
        if (k.path.size() > sub.size() && k.path[sub.size()] == '\\' &&
            EqualNoCase(k.path.substr(0, sub.size()), sub))
            return true;
    }
    return false;
}

std::string Normalise(const char* subkey) {
    std::string s(subkey ? subkey : "");
    while (!s.empty() && s.back() == '\\') s.pop_back();
    while (!s.empty() && s.front() == '\\') s.erase(0, 1);
    return s;
}

}  // namespace

std::string RegistryFilePath() {
    const char* p = std::getenv("QLSMTP_REGISTRY");
    return (p && *p) ? std::string(p) : std::string("/var/lib/qlsmtp/registry.reg");
}

struct CRegKey::Impl {
    std::string path;
};

CRegKey::CRegKey() = default;
CRegKey::~CRegKey() = default;

long CRegKey::Open(const char* subkey, bool create) {
    Close();
    std::string sub = Normalise(subkey);
    std::lock_guard<std::mutex> g(g_mutex);
    const Hive* current = nullptr;
    long r = Load(&current);
    if (r == 0 && KeyExists(*current, sub)) {
        m_impl = std::make_unique<Impl>(Impl{sub});
        return 0;
    }
    if (!create) return r == 0 ? kRegNotFound : r;
    FileLock lock;
    Hive hive;
    r = LoadCopy(&hive);
    if (r != 0 && r != kRegNotFound) return r;
    if (!KeyExists(hive, sub)) {
        hive.keys.push_back(Key{sub, {}});
        r = Store(std::move(hive));
        if (r != 0) return r;
    }
    m_impl = std::make_unique<Impl>(Impl{sub});
    return 0;
}

void CRegKey::Close() { m_impl.reset(); }

bool CRegKey::IsOpen() const { return m_impl != nullptr; }

long CRegKey::QueryValue(const char* name, uint32_t* type, void* data, uint32_t* size) const {
    if (!m_impl) return 6;  // invalid handle
    std::lock_guard<std::mutex> g(g_mutex);
    const Hive* hive = nullptr;
    long r = Load(&hive);
    if (r != 0) return r;
    const Key* k = FindKey(*hive, m_impl->path);
    if (!k) return kRegNotFound;
    std::string want(name ? name : "");
    for (const Value& v : k->values) {
        if (!EqualNoCase(v.name, want)) continue;
        if (type) *type = v.type;
        uint32_t need = static_cast<uint32_t>(v.data.size());
        if (data && need > *size) {
            *size = need;
            return kRegMoreData;
        }
        if (data) std::memcpy(data, v.data.data(), need);
        *size = need;
        return 0;
    }
    return kRegNotFound;
}

long CRegKey::SetValue(const char* name, uint32_t type, const void* data, uint32_t size) {
    RegWrite w{name, type, data, size};
    return SetValues(&w, 1);
}

long CRegKey::SetValues(const RegWrite* writes, int count) {
    if (!m_impl) return 6;
    std::lock_guard<std::mutex> g(g_mutex);
    FileLock lock;
    Hive hive;
    long r = LoadCopy(&hive);
    if (r != 0 && r != kRegNotFound) return r;
    Key* k = FindKey(hive, m_impl->path);
    if (!k) {
        hive.keys.push_back(Key{m_impl->path, {}});
        k = &hive.keys.back();
    }
    for (int i = 0; i < count; ++i) {
        Value v;
        v.name = writes[i].name ? writes[i].name : "";
        v.type = writes[i].type;
        v.data.assign(static_cast<const char*>(writes[i].data), writes[i].size);
        bool replaced = false;
        for (Value& old : k->values)
            if (EqualNoCase(old.name, v.name)) {
                old = v;
                replaced = true;
                break;
            }
        if (!replaced) k->values.push_back(std::move(v));
    }
    return Store(std::move(hive));
}

long CRegKey::DeleteValue(const char* name) {
    if (!m_impl) return 6;
    std::lock_guard<std::mutex> g(g_mutex);
    FileLock lock;
    Hive hive;
    long r = LoadCopy(&hive);
    if (r != 0) return r;
    Key* k = FindKey(hive, m_impl->path);
    if (!k) return kRegNotFound;
    std::string want(name ? name : "");
    for (size_t i = 0; i < k->values.size(); ++i)
        if (EqualNoCase(k->values[i].name, want)) {
            k->values.erase(k->values.begin() + static_cast<long>(i));
            return Store(std::move(hive));
        }
    return kRegNotFound;
}

long CRegKey::DeleteKey(const char* subkey) {
    std::string sub = Normalise(subkey);
    std::lock_guard<std::mutex> g(g_mutex);
    FileLock lock;
    Hive hive;
    long r = LoadCopy(&hive);
    if (r != 0) return r;
    for (size_t i = 0; i < hive.keys.size(); ++i)
        if (EqualNoCase(hive.keys[i].path, sub)) {
            hive.keys.erase(hive.keys.begin() + static_cast<long>(i));
            return Store(std::move(hive));
        }
    return kRegNotFound;
}

}  // namespace plat
