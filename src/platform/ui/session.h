#pragma once

// The end of the session, in place of the system's end-of-session query: a SIGTERM or
// SIGHUP sent to the process (the session manager or the service manager ending the
// session, "kill", a closed terminal) and the desktop session's own request to save and
// end (Qt's commit-data request) are reported as one event on the main thread's event
// loop, so the program ends through its ordinary path instead of inside a signal
// handler.
//
// The signal handler only writes one byte to a pipe (async-signal-safe); a socket
// notifier on the other end calls OnSessionEnd from the loop. One watcher per process;
// the previous signal dispositions are restored when it is destroyed.
//
// Threads: made, used and destroyed on the main (GUI) thread.

#include <functional>
#include <memory>

class QSocketNotifier;

namespace platform {

class SessionEndWatcher {
public:
    SessionEndWatcher();
    ~SessionEndWatcher();
    SessionEndWatcher(const SessionEndWatcher&) = delete;
    SessionEndWatcher& operator=(const SessionEndWatcher&) = delete;

    // Runs once per request; a second signal before the program ended runs it again.
    std::function<void()> OnSessionEnd;

private:
    void Drain();

    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace platform
