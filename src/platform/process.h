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

// Starts argv as RunProcess does (PATH search, input from /dev/null, a process group of
// its own, default signal dispositions) and returns at once: the process id, or the
// errno of the failed start. For programs nobody waits for to the end (the screen saver,
// the URL opener).
struct StartedProcess {
    int pid = -1;  // above 0 when it started
    int error = 0; // errno of a failed start
};
StartedProcess StartProcess(const std::vector<std::string>& argv);
// Starts a program that outlives its starter (the idle watcher): as StartProcess, but in
// a session of its own and with output to /dev/null, so it holds no pipe or terminal of
// the program or script that happened to start it.
StartedProcess StartDetachedProcess(const std::vector<std::string>& argv);
// Waits for a started process at most `wait`: its wait status, or nullopt while it still
// runs. A process reaped elsewhere counts as ended with status 0.
std::optional<int> WaitProcess(int pid, std::chrono::milliseconds wait);
// Reaps the process whenever it ends, on a detached thread, so a long-running starter
// keeps no zombie.
void ReapInBackground(int pid);

// "exit status 3", "killed by signal 9", "timed out", "cannot start: <reason>".
std::string Describe(const ProcessResult& result);

} // namespace platform
