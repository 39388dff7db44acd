#include "platform/shell.h"

#include "platform/fileio.h"
#include "platform/process.h"
#include "platform/textcase.h"
#include "platform/uniquefd.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

bool SilentCopyFile(const std::string& source, const std::string& target) {
    // Non-blocking open: a pipe at the source's name must not hang the copy; only a plain
    // file is read.
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
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

} // namespace

std::string TrimLink(std::string_view link) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!link.empty() && blank(link.front())) {
        link.remove_prefix(1);
    }
    while (!link.empty() && blank(link.back())) {
        link.remove_suffix(1);
    }
    return std::string(link);
}

std::optional<std::string> ShellOpenArgument(const std::string& target) {
    const std::string trimmed = TrimLink(target);
    if (IsWebUrl(trimmed)) {
        return trimmed;
    }
    return OpenableFile(trimmed);
}

ShellOpenResult ShellOpen(const std::string& target, std::chrono::milliseconds wait) {
    const std::optional<std::string> argument = ShellOpenArgument(target);
    if (!argument) {
        return ShellOpenResult::Refused;
    }
    const StartedProcess started = StartProcess({"xdg-open", *argument});
    if (started.pid <= 0) {
        return ShellOpenResult::NotStarted;
    }
    const int pid = started.pid;
    const std::optional<int> status = WaitProcess(pid, wait);
    if (!status) {
        ReapInBackground(pid);
        return ShellOpenResult::Running;
    }
    return WIFEXITED(*status) && WEXITSTATUS(*status) == 0 ? ShellOpenResult::Opened
                                                           : ShellOpenResult::Failed;
}

} // namespace platform
