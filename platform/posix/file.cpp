// Files on Linux. Exclusive opens take a non-blocking exclusive flock right
// after opening; a lock held elsewhere reads as the sharing violation 32.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/file.h"

namespace plat {

namespace {

int MapErrno(int e) {
    switch (e) {
        case ENOENT: return kErrFileNotFound;
        case ENOTDIR: return kErrPathNotFound;
        case EMFILE:
        case ENFILE: return kErrTooManyOpenFiles;
        case EEXIST: return kErrFileExists;
        case EWOULDBLOCK: return kErrSharingViolation;
        default: return e;
    }
}

// A missing folder on the way reads as "path not found", as on Windows.
int OpenError(const char* path, int e) {
    if (e == ENOENT) {
        std::string dir(path);
        size_t slash = dir.find_last_of('/');
        if (slash != std::string::npos) {
            dir.resize(slash == 0 ? 1 : slash);
            struct stat st;
            if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrPathNotFound;
        }
    }
    return MapErrno(e);
}

}  // namespace

int FileOpen(const char* path, FileMode mode, FileHandle* handle) {
    *handle = kInvalidFile;
    int flags = O_CLOEXEC;
    bool exclusive = false;
    switch (mode) {
        case kOpenRead: flags |= O_RDONLY; break;
        case kOpenReadExclusive: flags |= O_RDONLY; exclusive = true; break;
        case kOpenReadWrite: flags |= O_RDWR; break;
        case kCreateTruncRW: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
        case kCreateNewExclusiveRW: flags |= O_RDWR | O_CREAT | O_EXCL; exclusive = true; break;
        case kOpenAppend: flags |= O_RDWR | O_CREAT | O_APPEND; break;
    }
    int fd = ::open(path, flags, 0666);
    // A folder is refused with "access denied", as Windows answers: open
    // itself refuses it for writing, a read-only open needs a look.
    if (fd < 0) {
        int e = errno == EISDIR ? 5 : OpenError(path, errno);
        errno = e;
        return e;
    }
    struct stat st;
    if ((flags & O_ACCMODE) == O_RDONLY && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        errno = 5;
        return 5;
    }
    if (exclusive && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = MapErrno(errno);
        ::close(fd);
        if (mode == kCreateNewExclusiveRW) ::unlink(path);
        errno = e;
        return e;
    }
    *handle = fd;
    return 0;
}

int FileClose(FileHandle h) {
    if (h < 0) return 6;  // invalid handle
    return ::close(static_cast<int>(h)) == 0 ? 0 : MapErrno(errno);
}

int FileRead(FileHandle h, void* buf, int len) {
    for (;;) {
        ssize_t n = ::read(static_cast<int>(h), buf, static_cast<size_t>(len));
        if (n < 0 && errno == EINTR) continue;
        return static_cast<int>(n);
    }
}

int FileWrite(FileHandle h, const void* buf, int len) {
    const char* p = static_cast<const char*>(buf);
    int done = 0;
    while (done < len) {
        ssize_t n = ::write(static_cast<int>(h), p + done, static_cast<size_t>(len - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? done : -1;
        done += static_cast<int>(n);
    }
    return done;
}

int64_t FileSeek(FileHandle h, int64_t offset, int origin) {
    int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    off_t r = ::lseek(static_cast<int>(h), static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int FileSync(FileHandle h) { return ::fsync(static_cast<int>(h)) == 0 ? 0 : MapErrno(errno); }

int SyncDirectory(const char* path) {
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return MapErrno(errno);
    int r = ::fsync(fd) == 0 ? 0 : MapErrno(errno);
    ::close(fd);
    return r;
}

int ListDirectory(const char* folder, const char* pattern, std::vector<DirEntry>* out) {
    out->clear();
    DIR* d = ::opendir(folder);
    if (!d) return OpenError(folder, errno);
    std::string base(folder);
    if (!base.empty() && base.back() != '/') base.push_back('/');
    while (struct dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        if (!MatchPattern(pattern, e->d_name)) continue;
        DirEntry de;
        de.name = e->d_name;
        // The entry's type when the file system gives it; a stat only for
        // links (followed, as before) and unknown types.
        if (e->d_type == DT_DIR || e->d_type == DT_REG) {
            de.isDirectory = e->d_type == DT_DIR;
        } else {
            struct stat st;
            std::string full = base + e->d_name;
            de.isDirectory = stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        de.isHidden = false;  // Linux has no hidden attribute; dot names are the callers' rule
        out->push_back(std::move(de));
    }
    ::closedir(d);
    return 0;
}

bool PathExists(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0;
}

bool IsDirectory(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeDirectory(const char* path) {
    if (::mkdir(path, 0777) == 0) return 0;
    if (errno == EEXIST) return kErrAlreadyExists;
    if (errno == ENOENT) return kErrPathNotFound;
    return MapErrno(errno);
}

int MakePrivateDirectory(const char* path) {
    if (::mkdir(path, 0700) != 0 && errno != EEXIST) return errno == ENOENT ? kErrPathNotFound : MapErrno(errno);
    // Checked and narrowed through a descriptor of the folder itself, so a
    // link put in its place between the steps is never followed.
    int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ELOOP || errno == ENOTDIR ? kErrUnsafeFolder : MapErrno(errno);
    struct stat st;
    int r = 0;
    if (::fstat(fd, &st) != 0) {
        r = MapErrno(errno);
    } else if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        r = kErrUnsafeFolder;
    } else if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        r = MapErrno(errno);
    }
    ::close(fd);
    return r;
}

int RemoveDirectory(const char* path) { return ::rmdir(path) == 0 ? 0 : MapErrno(errno); }

int RemoveFile(const char* path) { return ::unlink(path) == 0 ? 0 : MapErrno(errno); }

int RenameFile(const char* from, const char* to) {
    // link + unlink refuses an existing destination atomically, like MoveFile.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return 0;
    }
    if (errno == EEXIST) return kErrAlreadyExists;
    if (errno == EPERM || errno == EXDEV || errno == EMLINK || errno == ENOTSUP) {
        if (PathExists(to)) return kErrAlreadyExists;
        return ::rename(from, to) == 0 ? 0 : MapErrno(errno);
    }
    return MapErrno(errno);
}

int CopyFile(const char* from, const char* to, bool overwrite) {
    CFile in;
    int r = in.Open(from, kOpenRead);
    if (r != 0) return r;
    CFile out;
    r = out.Open(to, overwrite ? kCreateTruncRW : kCreateNewExclusiveRW);
    if (r != 0) return r == kErrFileExists ? kErrFileExists : r;
    char buf[65536];
    for (;;) {
        int n = in.Read(buf, sizeof(buf));
        if (n < 0) return MapErrno(errno);
        if (n == 0) break;
        if (out.Write(buf, n) != n) return MapErrno(errno ? errno : ENOSPC);
    }
    return out.Close();
}

int64_t FileModifiedTime(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return 0;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int GetModulePath(std::string* path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return MapErrno(errno);
    buf[n] = '\0';
    *path = buf;
    return 0;
}

int SetCurrentDir(const char* path) { return ::chdir(path) == 0 ? 0 : MapErrno(errno); }

}  // namespace plat
