#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

// How often a pumped wait looks at the child between pump calls.
constexpr std::chrono::milliseconds kCheckInterval(10);

// Owns the spawn attribute objects for the scope of one start.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawnattr_init(&attr_);
        posix_spawn_file_actions_init(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attr_);
    }
    posix_spawnattr_t* Attr() { return &attr_; }
    posix_spawn_file_actions_t* Actions() { return &actions_; }

private:
    posix_spawnattr_t attr_;
    posix_spawn_file_actions_t actions_;
};

// A descriptor that becomes readable when the process ends; -1 where the kernel has none.
int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

std::optional<int> TryReap(pid_t pid) {
    int status = 0;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return status;
        }
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            return 0; // already reaped elsewhere (SIGCHLD ignored): nothing more to learn
        }
        return std::nullopt;
    }
}

ProcessResult FromStatus(int status) {
    if (WIFSIGNALED(status)) {
        return {ProcessResult::Status::Signalled, WTERMSIG(status)};
    }
    return {ProcessResult::Status::Exited, WEXITSTATUS(status)};
}

} // namespace

std::optional<std::vector<std::string>> SplitCommandLine(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < text.size() &&
                       (text[i + 1] == '"' || text[i + 1] == '\\')) {
                word += text[++i];
            } else {
                word += c;
            }
        } else if (c == ' ' || c == '\t') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else if (c == '"') {
            quoted = true;
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        return std::nullopt;
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

namespace {

StartedProcess Spawn(const std::vector<std::string>& argv, bool detached) {
    if (argv.empty() || argv.front().empty()) {
        return {-1, ENOENT};
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    SpawnSetup setup;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(setup.Attr(), &none);
    posix_spawnattr_setsigdefault(setup.Attr(), &defaults);
    posix_spawnattr_setpgroup(setup.Attr(), 0);
    posix_spawnattr_setflags(setup.Attr(),
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                 (detached ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP));
    posix_spawn_file_actions_addopen(setup.Actions(), 0, "/dev/null", O_RDONLY, 0);
    if (detached) {
        posix_spawn_file_actions_addopen(setup.Actions(), 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(setup.Actions(), 1, 2);
    }

    pid_t pid = -1;
    const int rc =
        ::posix_spawnp(&pid, args[0], setup.Actions(), setup.Attr(), args.data(), environ);
    if (rc != 0) {
        return {-1, rc};
    }
    return {static_cast<int>(pid), 0};
}

} // namespace

StartedProcess StartProcess(const std::vector<std::string>& argv) {
    return Spawn(argv, false);
}

StartedProcess StartDetachedProcess(const std::vector<std::string>& argv) {
    return Spawn(argv, true);
}

std::optional<int> WaitProcess(int pid, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    const int pidFd = OpenPidFd(pid);
    std::optional<int> status;
    for (;;) {
        int raw = 0;
        const pid_t r = ::waitpid(pid, &raw, WNOHANG);
        if (r == pid) {
            status = raw;
            break;
        }
        if (r < 0 && errno != EINTR) {
            status = 0; // reaped elsewhere: nothing more to learn
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        // The process descriptor becomes readable when the child ends; without one (old
        // kernels) the check repeats in short steps.
        pollfd pfd{pidFd, POLLIN, 0};
        ::poll(pidFd >= 0 ? &pfd : nullptr, pidFd >= 0 ? 1 : 0,
               static_cast<int>(std::min<long long>(left.count(), pidFd >= 0 ? 1000 : 10)));
    }
    if (pidFd >= 0) {
        ::close(pidFd);
    }
    return status;
}

void ReapInBackground(int pid) {
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

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const WaitPump& pump) {
    const StartedProcess started = StartProcess(argv);
    if (started.pid <= 0) {
        return {ProcessResult::Status::NotStarted, started.error};
    }
    const pid_t pid = started.pid;

    const int pidFd = OpenPidFd(pid);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<int> status;
    while (!(status = TryReap(pid))) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (pump) {
            pump(std::min(left, kCheckInterval));
        } else if (pidFd >= 0) {
            pollfd pfd{pidFd, POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        } else {
            ::usleep(static_cast<useconds_t>(kCheckInterval.count()) * 1000);
        }
    }
    if (pidFd >= 0) {
        ::close(pidFd);
    }
    if (status) {
        return FromStatus(*status);
    }
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int ignored = 0;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    return {ProcessResult::Status::TimedOut, 0};
}

std::string Describe(const ProcessResult& result) {
    switch (result.status) {
    case ProcessResult::Status::Exited:
        return "exit status " + std::to_string(result.code);
    case ProcessResult::Status::Signalled:
        return "killed by signal " + std::to_string(result.code);
    case ProcessResult::Status::TimedOut:
        return "timed out";
    case ProcessResult::Status::NotStarted:
        break;
    }
    return std::string("cannot start: ") + std::strerror(result.code);
}

} // namespace platform
