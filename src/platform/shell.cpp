#include "platform/shell.h"

#include "platform/fileio.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

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

namespace {

bool HasBlankOrControl(const std::string& text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F) {
            return true;
        }
    }
    return false;
}

bool StartsWithNoCase(const std::string& text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool IsWebUrl(const std::string& text) {
    if (HasBlankOrControl(text)) {
        return false;
    }
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (StartsWithNoCase(text, scheme)) {
            const std::string rest = text.substr(scheme.size());
            // A host must follow: not empty, not a path or query at once.
            return !rest.empty() && rest[0] != '/' && rest[0] != '?' && rest[0] != '#';
        }
    }
    return false;
}

bool EndsWithNoCase(const std::string& text, std::string_view suffix) {
    if (text.size() < suffix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        char c = text[text.size() - suffix.size() + i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != suffix[i]) {
            return false;
        }
    }
    return true;
}

// The absolute path of an existing plain file that may be opened, or nullopt. A program
// or a desktop entry would run something: those are never opened from a link.
std::optional<std::string> OpenableFile(const std::string& text) {
    if (text.empty() || text.find('\0') != std::string::npos ||
        text.find("://") != std::string::npos) {
        return std::nullopt;
    }
    char resolved[PATH_MAX];
    if (::realpath(text.c_str(), resolved) == nullptr) {
        return std::nullopt;
    }
    const std::string path = resolved;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0 || EndsWithNoCase(path, ".desktop")) {
        return std::nullopt;
    }
    return path;
}

void ReapLater(pid_t pid) {
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // Without a thread the child is reaped when this process ends.
    }
}

// Waits for the child at most wait; its wait status, or nullopt when it still runs.
std::optional<int> WaitBounded(pid_t pid, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (pidfd >= 0) {
                ::close(pidfd);
            }
            return status;
        }
        if (r < 0 && errno != EINTR) {
            if (pidfd >= 0) {
                ::close(pidfd);
            }
            return 0; // reaped elsewhere: nothing more to learn
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (pidfd >= 0) {
                ::close(pidfd);
            }
            return std::nullopt;
        }
        // The process descriptor becomes readable when the child ends; without one (old
        // kernels) the check repeats in short steps.
        const int step = pidfd >= 0 ? static_cast<int>(left.count())
                                    : static_cast<int>(std::min<long long>(left.count(), 20));
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, step);
        } else {
            ::poll(nullptr, 0, step);
        }
    }
}

} // namespace

std::optional<std::string> ShellOpenArgument(const std::string& target) {
    if (IsWebUrl(target)) {
        return target;
    }
    return OpenableFile(target);
}

ShellOpenResult ShellOpen(const std::string& target, std::chrono::milliseconds wait) {
    const std::optional<std::string> argument = ShellOpenArgument(target);
    if (!argument) {
        return ShellOpenResult::Refused;
    }
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return ShellOpenResult::NotStarted;
    }
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return ShellOpenResult::NotStarted;
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::string program = "xdg-open";
    std::string arg = *argument;
    char* argv[] = {program.data(), arg.data(), nullptr};
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return ShellOpenResult::NotStarted;
    }
    const std::optional<int> status = WaitBounded(pid, wait);
    if (!status) {
        ReapLater(pid);
        return ShellOpenResult::Running;
    }
    return WIFEXITED(*status) && WEXITSTATUS(*status) == 0 ? ShellOpenResult::Opened
                                                           : ShellOpenResult::Failed;
}

} // namespace platform
