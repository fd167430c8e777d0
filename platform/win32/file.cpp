// Files on Windows. Exclusive opens use the sharing mode 0, so a file that
// another process holds that way fails with ERROR_SHARING_VIOLATION (32).
#include "platform/win32/win.h"

#include <cstring>

#include "platform/file.h"

namespace plat {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE Native(FileHandle h) { return reinterpret_cast<HANDLE>(h); }

// Closes a directory search when it goes.
class CFindHandle {
public:
    explicit CFindHandle(HANDLE h) : m_handle(h) {}
    ~CFindHandle() {
        if (m_handle != INVALID_HANDLE_VALUE) FindClose(m_handle);
    }
    CFindHandle(const CFindHandle&) = delete;
    CFindHandle& operator=(const CFindHandle&) = delete;
    HANDLE Get() const { return m_handle; }

private:
    HANDLE m_handle;
};

int Fail() {
    DWORD e = GetLastError();
    return e ? static_cast<int>(e) : ERROR_GEN_FAILURE;
}

}  // namespace

int FileOpen(const char* path, FileMode mode, FileHandle* handle) {
    *handle = kInvalidFile;
    if (!path) return ERROR_INVALID_PARAMETER;
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD share = kShareAll;
    DWORD disposition = OPEN_EXISTING;
    switch (mode) {
        case kOpenRead:
            access = GENERIC_READ;
            break;
        case kOpenReadExclusive:
            access = GENERIC_READ;
            share = 0;
            break;
        case kOpenReadWrite:
            break;
        case kCreateTruncRW:
            disposition = CREATE_ALWAYS;
            break;
        case kCreateNewExclusiveRW:
            share = 0;
            disposition = CREATE_NEW;
            break;
        case kOpenAppend:
            // Append access without FILE_WRITE_DATA: the system puts every
            // write at the current end of the file, atomically.
            access = GENERIC_READ | (FILE_GENERIC_WRITE & ~FILE_WRITE_DATA);
            disposition = OPEN_ALWAYS;
            break;
        default:
            return ERROR_INVALID_PARAMETER;
    }
    HANDLE h = CreateFileA(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return Fail();
    *handle = reinterpret_cast<FileHandle>(h);
    return 0;
}

int FileClose(FileHandle h) {
    if (h == kInvalidFile || h == 0) return ERROR_INVALID_HANDLE;
    return CloseHandle(Native(h)) ? 0 : Fail();
}

int FileRead(FileHandle h, void* buf, int len) {
    if (h == kInvalidFile || len < 0) return -1;
    DWORD n = 0;
    if (!ReadFile(Native(h), buf, static_cast<DWORD>(len), &n, nullptr)) return -1;
    return static_cast<int>(n);
}

int FileWrite(FileHandle h, const void* buf, int len) {
    if (h == kInvalidFile || len < 0) return -1;
    const char* p = static_cast<const char*>(buf);
    int done = 0;
    while (done < len) {
        DWORD n = 0;
        if (!WriteFile(Native(h), p + done, static_cast<DWORD>(len - done), &n, nullptr) || n == 0)
            return done > 0 ? done : -1;
        done += static_cast<int>(n);
    }
    return done;
}

int64_t FileSeek(FileHandle h, int64_t offset, int origin) {
    if (h == kInvalidFile || origin < 0 || origin > 2) return -1;
    static constexpr DWORD kMethod[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(Native(h), distance, &position, kMethod[origin])) return -1;
    return position.QuadPart;
}

int FileSync(FileHandle h) {
    if (h == kInvalidFile) return ERROR_INVALID_HANDLE;
    return FlushFileBuffers(Native(h)) ? 0 : Fail();
}

int ListDirectory(const char* folder, const char* pattern, std::vector<DirEntry>* out) {
    out->clear();
    if (!folder) return ERROR_INVALID_PARAMETER;
    if (!pattern || !*pattern) pattern = "*";
    std::string search(folder);
    if (!search.empty() && search.back() != '\\' && search.back() != '/') search.push_back('\\');
    search.push_back('*');
    // The names are filtered here rather than by the system, which would also
    // match the short 8.3 names ("*.tmp" finding "x.tmpl").
    WIN32_FIND_DATAA data;
    CFindHandle find(FindFirstFileA(search.c_str(), &data));
    if (find.Get() == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        // An empty drive root has no "." entry to find.
        return e == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(e ? e : ERROR_GEN_FAILURE);
    }
    do {
        if (std::strcmp(data.cFileName, ".") == 0 || std::strcmp(data.cFileName, "..") == 0) continue;
        if (!MatchPattern(pattern, data.cFileName)) continue;
        DirEntry entry;
        entry.name = data.cFileName;
        entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.isHidden = (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
        out->push_back(std::move(entry));
    } while (FindNextFileA(find.Get(), &data));
    DWORD e = GetLastError();
    if (e != ERROR_NO_MORE_FILES) {
        out->clear();
        return static_cast<int>(e ? e : ERROR_GEN_FAILURE);
    }
    return 0;
}

bool PathExists(const char* path) {
    return path && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const char* path) {
    if (!path) return false;
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int MakeDirectory(const char* path) {
    if (!path) return ERROR_INVALID_PARAMETER;
    return CreateDirectoryA(path, nullptr) ? 0 : Fail();
}

int MakePrivateDirectory(const char* path) {
    if (!path) return ERROR_INVALID_PARAMETER;
    if (!CreateDirectoryA(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return Fail();
    DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES) return Fail();
    if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0 || (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return kErrUnsafeFolder;
    return 0;
}

int RemoveDirectory(const char* path) {
    if (!path) return ERROR_INVALID_PARAMETER;
    return RemoveDirectoryA(path) ? 0 : Fail();
}

int RemoveFile(const char* path) {
    if (!path) return ERROR_INVALID_PARAMETER;
    return DeleteFileA(path) ? 0 : Fail();
}

int RenameFile(const char* from, const char* to) {
    if (!from || !to) return ERROR_INVALID_PARAMETER;
    return MoveFileA(from, to) ? 0 : Fail();
}

int CopyFile(const char* from, const char* to, bool overwrite) {
    if (!from || !to) return ERROR_INVALID_PARAMETER;
    return CopyFileA(from, to, overwrite ? FALSE : TRUE) ? 0 : Fail();
}

int64_t FileModifiedTime(const char* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path || !GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return 0;
    // 100-ns ticks since 1601 to nanoseconds since 1970.
    constexpr int64_t kTicksTo1970 = 116444736000000000LL;
    int64_t ticks = (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                    data.ftLastWriteTime.dwLowDateTime;
    if (ticks <= kTicksTo1970) return 0;
    return (ticks - kTicksTo1970) * 100;
}

int GetModulePath(std::string* path) {
    std::string buf(MAX_PATH, '\0');
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return Fail();
        if (n < buf.size()) {
            buf.resize(n);
            *path = buf;
            return 0;
        }
        if (buf.size() >= 32768) return ERROR_INSUFFICIENT_BUFFER;
        buf.resize(buf.size() * 2);
    }
}

int SyncDirectory(const char* /*path*/) { return 0; }

int SetCurrentDir(const char* path) { return SetCurrentDirectoryA(path) ? 0 : Fail(); }

}  // namespace plat
