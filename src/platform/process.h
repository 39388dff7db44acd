#pragma once

// Starting programs with an argument vector, never through a shell, and waiting for them
// with a bound. Used where a configured command is run (dial-up, hang-up).

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Splits a command text into its argument vector. Words are separated by blanks (space,
// tab); double quotes group a word that holds blanks ("a b" is one word, a"b c"d is
// "ab cd"); inside double quotes \" and \\ stand for " and \, other backslashes stay.
// Nothing else is special: no variables, globs, pipes or redirections.
// nullopt when a double quote is not closed.
std::optional<std::vector<std::string>> SplitCommandLine(std::string_view text);

struct ProcessResult {
    enum class Status {
        Exited,     // code is the exit status
        Signalled,  // code is the signal that ended it
        TimedOut,   // killed (with its process group) when the time was up
        NotStarted, // code is the errno of the failed start
    };
    Status status = Status::NotStarted;
    int code = 0;

    bool Succeeded() const { return status == Status::Exited && code == 0; }
};

// Called while RunProcess waits, so the caller's event loop keeps running; it may block
// for at most the given time and should return early when it handled something.
using WaitPump = std::function<void(std::chrono::milliseconds)>;

// Runs argv[0] (searched in PATH when it holds no "/") with argv as its arguments, input
// from /dev/null, output and errors inherited, in a process group of its own. Waits until
// it ends, at most timeout; then the whole group is killed and reaped. Without a pump the
// wait blocks; with one the pump runs between short checks of the child.
// An empty argv does not start anything.
ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const WaitPump& pump = {});

// "exit status 3", "killed by signal 9", "timed out", "cannot start: <reason>".
std::string Describe(const ProcessResult& result);

} // namespace platform
