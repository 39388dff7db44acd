#pragma once

// Real child processes for tests that cross a process boundary (message bus,
// single-instance guard, crash tests). A Child is killed and reaped when it goes out of
// scope, so a failing test leaves no process behind.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tolvar::test {

class Child {
public:
    // Starts program with args (argv[0] is the program); stdout is captured when asked.
    Child(const std::string& program, const std::vector<std::string>& args,
          bool captureOutput = false);
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t Pid() const { return pid_; }
    // Waits for the exit; the wait status as from waitpid, or nullopt on time-out.
    std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // The exit code when the child exited normally, -signal when killed, nullopt on time-out.
    std::optional<int> ExitCode(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    void Kill(int signal);
    bool Running();
    // Reads what the child printed so far (captureOutput only); blocks until it exits
    // or timeout passes.
    std::string ReadAllOutput(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Reads one line (without its newline) within timeout; nullopt at EOF or time-out.
    std::optional<std::string>
    ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::optional<int> status_;
    std::string pending_;
};

// Runs body in a forked child with the rights of nobody (the tests run as root, whom no
// file mode stops); the child's exit code: body's result, 98 when it threw, 99 when the
// rights could not be dropped, -1 when it did not exit normally.
int AsNobody(const std::function<int()>& body);

} // namespace tolvar::test
