// Handle-level files, directory operations and paths.
//
// Exclusive opens deny all sharing: on Windows the sharing mode 0, on Linux a
// non-blocking exclusive flock taken right after opening. A file that another
// process holds that way fails with kErrSharingViolation (32) on both systems.
// Results are 0 for success or a Win32-style error code (errno on Linux,
// with the sharing violation mapped to 32).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

#ifdef _WIN32
constexpr char kPathSep = '\\';
// Longest path, its terminating NUL included (MAX_PATH, PATH_MAX).
constexpr size_t kMaxPath = 260;
#else
constexpr char kPathSep = '/';
constexpr size_t kMaxPath = 4096;
#endif

constexpr int kErrFileNotFound = 2;
constexpr int kErrPathNotFound = 3;
constexpr int kErrTooManyOpenFiles = 4;
constexpr int kErrSharingViolation = 32;
constexpr int kErrFileExists = 80;
constexpr int kErrAlreadyExists = 183;
// A folder refused by MakePrivateDirectory (Windows' ERROR_INVALID_OWNER).
constexpr int kErrUnsafeFolder = 1307;

using FileHandle = intptr_t;
constexpr FileHandle kInvalidFile = -1;

enum FileMode {
    kOpenRead,                // existing file, read, sharing allowed
    kOpenReadExclusive,       // existing file, read, deny all sharing
    kOpenReadWrite,           // existing file, read-write
    kCreateTruncRW,           // create or truncate, read-write
    kCreateNewExclusiveRW,    // create only if absent, read-write, deny all sharing
    kOpenAppend,              // create if absent, every write at the end
};

// Opens a file; on failure *handle is kInvalidFile and the error is returned.
int FileOpen(const char* path, FileMode mode, FileHandle* handle);
int FileClose(FileHandle h);
// Bytes read or written, -1 on error.
int FileRead(FileHandle h, void* buf, int len);
int FileWrite(FileHandle h, const void* buf, int len);
// origin 0 start, 1 current, 2 end; new position or -1.
int64_t FileSeek(FileHandle h, int64_t offset, int origin);
// Flushes the file's data to stable storage; 0 on success.
int FileSync(FileHandle h);
// Makes the names in a folder (a rename, a new file) durable; 0 on success.
// Nothing to do on Windows, whose file systems journal their names.
int SyncDirectory(const char* path);

// Owns a file handle.
class CFile {
public:
    CFile() = default;
    ~CFile() { Close(); }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    CFile(CFile&& o) noexcept : m_handle(o.Release()) {}
    CFile& operator=(CFile&& o) noexcept {
        if (this != &o) {
            Close();
            m_handle = o.Release();
        }
        return *this;
    }
    int Open(const char* path, FileMode mode) {
        Close();
        return FileOpen(path, mode, &m_handle);
    }
    int Close() {
        int r = 0;
        if (m_handle != kInvalidFile) r = FileClose(m_handle);
        m_handle = kInvalidFile;
        return r;
    }
    FileHandle Get() const { return m_handle; }
    bool IsOpen() const { return m_handle != kInvalidFile; }
    FileHandle Release() {
        FileHandle h = m_handle;
        m_handle = kInvalidFile;
        return h;
    }
    int Read(void* buf, int len) { return FileRead(m_handle, buf, len); }
    int Write(const void* buf, int len) { return FileWrite(m_handle, buf, len); }
    int64_t Seek(int64_t offset, int origin) { return FileSeek(m_handle, offset, origin); }
    int Sync() { return FileSync(m_handle); }

private:
    FileHandle m_handle = kInvalidFile;
};

struct DirEntry {
    std::string name;
    bool isDirectory = false;
    bool isHidden = false;
};

// Lists the entries of folder whose names match pattern ('*' and '?', case
// ignored as on Windows). "." and ".." are left out. Returns 0, or an error
// when the folder cannot be read (the list is then empty).
int ListDirectory(const char* folder, const char* pattern, std::vector<DirEntry>* out);
bool PathExists(const char* path);
bool IsDirectory(const char* path);
// 0, kErrAlreadyExists, kErrPathNotFound or another error.
int MakeDirectory(const char* path);
// Makes a folder that only this account can write, or takes the one that
// is there: 0 when path is such a folder afterwards, kErrUnsafeFolder when it
// is a symbolic link, not a folder, or another account's, else the error of
// making it. On Linux it is made with mode 0700, and an existing folder of
// this account is narrowed to 0700; on Windows it is an ordinary folder with
// the permissions it inherits, refused only when it is a link (a reparse
// point).
int MakePrivateDirectory(const char* path);
int RemoveDirectory(const char* path);
int RemoveFile(const char* path);
// Fails when the destination exists, like MoveFile.
int RenameFile(const char* from, const char* to);
// Copies a file, replacing the destination when overwrite is set.
int CopyFile(const char* from, const char* to, bool overwrite);
// Last modification time in nanoseconds since the epoch (0 when unknown).
int64_t FileModifiedTime(const char* path);
// Full path of the running program.
int GetModulePath(std::string* path);
// Matches a name against a '*'/'?' pattern, case ignored.
bool MatchPattern(const char* pattern, const char* name);

// Makes path the process's current directory; 0 or the error.
int SetCurrentDir(const char* path);

}  // namespace plat
