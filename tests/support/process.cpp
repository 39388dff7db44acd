#include "support/process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tolvar::test {

Child::Child(const std::string& program, const std::vector<std::string>& args, bool captureOutput) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (captureOutput) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    }
    int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (captureOutput) {
        ::close(pipeFds[1]);
        out_ = pipeFds[0];
    }
    if (rc != 0) {
        throw std::runtime_error("cannot start " + program);
    }
}

Child::~Child() {
    if (Running()) {
        Kill(SIGKILL);
    }
    Wait(std::chrono::seconds(5));
    if (out_ >= 0) {
        ::close(out_);
    }
}

std::optional<int> Child::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = status;
            break;
        }
        if (r < 0 && errno != EINTR) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status_;
}

std::optional<int> Child::ExitCode(std::chrono::milliseconds timeout) {
    auto status = Wait(timeout);
    if (!status) {
        return std::nullopt;
    }
    if (WIFEXITED(*status)) {
        return WEXITSTATUS(*status);
    }
    return -WTERMSIG(*status);
}

void Child::Kill(int signal) {
    if (!status_) {
        ::kill(pid_, signal);
    }
}

bool Child::Running() {
    return !Wait(std::chrono::milliseconds(0));
}

std::string Child::ReadAllOutput(std::chrono::milliseconds timeout) {
    std::string all = std::move(pending_);
    pending_.clear();
    while (auto line = ReadLine(timeout)) {
        all += *line + "\n";
    }
    all += pending_;
    pending_.clear();
    return all;
}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds timeout) {
    if (out_ < 0) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd pfd{out_, POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return std::nullopt;
        }
        char buf[4096];
        ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) {
            return std::nullopt;
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
}

int AsNobody(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(99);
        }
        int code = 98;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace tolvar::test
