#include "platform/fileio.h"

#include "platform/uniquefd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

void WriteAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw FileError("write", path, errno);
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
}

std::string TempName(const std::string& path) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%08llx",
                  static_cast<unsigned long long>(rng() & 0xFFFFFFFFu));
    return path + suffix;
}

int OpenLockFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        // A lock file in a folder we may only read still locks.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        throw FileError("open lock file", path, errno);
    }
    return fd;
}

} // namespace

FileError::FileError(const std::string& operation, const std::string& path, int code)
    : std::runtime_error(operation + " \"" + path + "\": " + std::strerror(code)), code_(code) {}

int ReadToEnd(int fd, std::string& content, std::size_t maxBytes) {
    char buffer[65536];
    const std::size_t start = content.size();
    while (content.size() - start <= maxBytes) {
        // Never more than one byte past the bound (maxBytes may be the largest size).
        const std::size_t room = maxBytes - (content.size() - start);
        const std::size_t want = room >= sizeof buffer ? sizeof buffer : room + 1;
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return 0;
}

std::optional<std::string> ReadFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return std::nullopt;
        }
        throw FileError("open", path, errno);
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw FileError("read", path, EISDIR);
    }
    std::string content;
    if (const int error = ReadToEnd(fd.Get(), content); error != 0) {
        throw FileError("read", path, error);
    }
    return content;
}

void AtomicWriteFile(const std::string& path, std::string_view bytes, mode_t mode) {
    AtomicFileWriter writer(path, mode);
    writer.Write(bytes);
    writer.Commit();
}

AtomicFileWriter::AtomicFileWriter(const std::string& path, mode_t mode)
    : path_(path), temp_(TempName(path)), mode_(mode) {
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
        mode_ = existing.st_mode & 07777;
    }
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode_);
    if (fd_ < 0) {
        throw FileError("create", temp_, errno);
    }
    // umask may have narrowed the mode; the target's permissions are what count.
    ::fchmod(fd_, mode_);
}

AtomicFileWriter::AtomicFileWriter(AtomicFileWriter&& other) noexcept
    : path_(std::move(other.path_)), temp_(std::move(other.temp_)), mode_(other.mode_),
      fd_(std::exchange(other.fd_, -1)) {}

AtomicFileWriter& AtomicFileWriter::operator=(AtomicFileWriter&& other) noexcept {
    if (this != &other) {
        Discard();
        path_ = std::move(other.path_);
        temp_ = std::move(other.temp_);
        mode_ = other.mode_;
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

AtomicFileWriter::~AtomicFileWriter() {
    Discard();
}

void AtomicFileWriter::Write(std::string_view bytes) {
    if (fd_ < 0) {
        throw FileError("write", temp_, EBADF);
    }
    try {
        WriteAll(fd_, bytes, temp_);
    } catch (...) {
        Discard();
        throw;
    }
}

void AtomicFileWriter::Commit() {
    if (fd_ < 0) {
        throw FileError("write", temp_, EBADF);
    }
    try {
        if (::fsync(fd_) != 0) {
            throw FileError("fsync", temp_, errno);
        }
        if (::close(std::exchange(fd_, -1)) != 0) {
            throw FileError("close", temp_, errno);
        }
        if (::rename(temp_.c_str(), path_.c_str()) != 0) {
            throw FileError("rename", path_, errno);
        }
    } catch (...) {
        Discard();
        ::unlink(temp_.c_str());
        throw;
    }
    temp_.clear();
    // The rename is durable only once the folder entry is on disk.
    UniqueFd folder(::open(ParentFolder(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0) {
        ::fsync(folder.Get());
    }
}

void RemoveStaleTemporaries(const std::string& path) {
    const std::string prefix = path.substr(path.rfind('/') + 1) + ".tmp";
    DIR* dir = ::opendir(ParentFolder(path).c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* e = ::readdir(dir)) {
        if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) {
            ::unlinkat(::dirfd(dir), e->d_name, 0);
        }
    }
    ::closedir(dir);
}

void AtomicFileWriter::Discard() noexcept {
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
        ::unlink(temp_.c_str());
    }
}

bool MakeFolders(const std::string& path, mode_t mode) {
    if (path.empty()) {
        return false;
    }
    if (FolderExists(path)) {
        return true;
    }
    const std::string parent = ParentFolder(path);
    if (parent != path && !FolderExists(parent)) {
        MakeFolders(parent, mode);
    }
    if (::mkdir(path.c_str(), mode) == 0 || errno == EEXIST) {
        return FolderExists(path);
    }
    return false;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool FolderExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RemoveFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

std::string ParentFolder(const std::string& path) {
    std::string::size_type end = path.find_last_not_of('/');
    if (end == std::string::npos) {
        return path.empty() ? "." : "/";
    }
    std::string::size_type slash = path.rfind('/', end);
    if (slash == std::string::npos) {
        return ".";
    }
    std::string::size_type last = path.find_last_not_of('/', slash);
    return last == std::string::npos ? "/" : path.substr(0, last + 1);
}

namespace {

// The lock itself is a flock: it belongs to the open file, conflicts with every other
// open of the file (this process's too), works on a lock file that may only be read,
// and goes when the holder dies.
int LockOnce(int fd, FileLock::Mode mode) {
    return ::flock(fd, (mode == FileLock::Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
}

// Beside it every holder sets a read lock of the other kind (an open-file-description
// lock, independent of flock) as a mark that F_OFD_GETLK can see. Read locks never
// conflict with each other, so setting the mark cannot fail for want of it, and asking
// for it takes nothing.
void SetHolderMark(int fd) {
    struct flock mark {};
    mark.l_type = F_RDLCK;
    mark.l_whence = SEEK_SET;
    mark.l_start = 0;
    mark.l_len = 0; // the whole file
    ::fcntl(fd, F_OFD_SETLK, &mark);
}

} // namespace

FileLock FileLock::Acquire(const std::string& path, Mode mode, std::chrono::milliseconds timeout) {
    UniqueFd fd(OpenLockFile(path));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(200);
    // flock has no time-out of its own; poll with a growing pause up to the deadline.
    while (LockOnce(fd.Get(), mode) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            throw FileError("lock", path, errno);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            throw FileError("lock", path, ETIMEDOUT);
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
    SetHolderMark(fd.Get());
    return FileLock(fd.Release());
}

std::optional<FileLock> FileLock::TryAcquire(const std::string& path, Mode mode) {
    UniqueFd fd(OpenLockFile(path));
    while (LockOnce(fd.Get(), mode) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno == EWOULDBLOCK) {
            return std::nullopt;
        }
        throw FileError("lock", path, errno);
    }
    SetHolderMark(fd.Get());
    return FileLock(fd.Release());
}

bool FileLock::IsHeld(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        return false;
    }
    // Only asks, for the holders' marks: a probe that took the lock, however briefly,
    // would make a real claim at that moment fail.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(fd.Get(), F_OFD_GETLK, &lock) != 0) {
        return false;
    }
    return lock.l_type != F_UNLCK;
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

FileLock::~FileLock() {
    Release();
}

void FileLock::Release() noexcept {
    if (fd_ >= 0) {
        ::close(fd_); // closing the last descriptor drops the lock
        fd_ = -1;
    }
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        lines.emplace_back(text.substr(start));
    }
    return lines;
}

} // namespace platform
