#include "platform/shell.h"

#include "platform/fileio.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// An open descriptor closed at the end of the scope.
class ScopedFd {
public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int Get() const { return fd_; }

private:
    int fd_;
};

} // namespace

bool SilentCopyFile(const std::string& source, const std::string& target) {
    // Non-blocking open: a pipe at the source's name must not hang the copy; only a plain
    // file is read.
    ScopedFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (in.Get() < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(in.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    const int flags = ::fcntl(in.Get(), F_GETFL);
    if (flags >= 0) {
        ::fcntl(in.Get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    const mode_t mode = st.st_mode & 0777;
    try {
        if (!MakeFolders(ParentFolder(target))) {
            return false;
        }
        AtomicFileWriter writer(target, mode);
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(in.Get(), buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false; // the writer removes its temporary file
            }
            if (n == 0) {
                break;
            }
            writer.Write(std::string_view(buffer, static_cast<std::size_t>(n)));
        }
        writer.Commit();
    } catch (const FileError&) {
        return false;
    }
    // An existing target kept its own permissions through the replacement; the copy is
    // the source's file, so it takes the source's.
    ::chmod(target.c_str(), mode);
    return true;
}

bool SilentDeleteFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

} // namespace platform
