#pragma once

// A dial-up backend for tests: the test sets the LAN state, whether a dial-up is installed
// and under which name, and whether dials and hang-ups succeed; every dial and hang-up is
// logged ("dial NAME", "hangup NAME") and may be echoed to standard output so that a test
// can follow a helper process. Thread-safe.

#include "platform/network.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tolvar::test {

class ScriptedDialupBackend : public platform::DialupBackend {
public:
    // The LAN online; online implies set up.
    void SetLan(bool up);
    // A local network set up (configured) while it may be offline.
    void SetLanConfigured(bool configured);
    // nullopt: no dial-up installed.
    void SetInstalled(std::optional<std::string> name);
    void SetDialSucceeds(bool succeeds);
    void SetHangUpSucceeds(bool succeeds);
    // Runs inside every dial, after the pump has been called once.
    void SetDuringDial(std::function<void()> action);
    // Echo each logged call to standard output (for helper programs).
    void SetEcho(bool echo);

    // The calls so far; TakeCalls also forgets them.
    std::vector<std::string> Calls() const;
    std::vector<std::string> TakeCalls();

    bool LanUp() override;
    bool LanConfigured() override;
    std::optional<std::string> Installed() override;
    bool Dial(const std::string& name, const platform::WaitPump& pump) override;
    bool HangUp(const std::string& name, const platform::WaitPump& pump) override;

private:
    void Log(std::string call);

    mutable std::mutex mutex_;
    bool lan_ = false;
    bool lanConfigured_ = false;
    std::optional<std::string> installed_;
    bool dialSucceeds_ = true;
    bool hangUpSucceeds_ = true;
    bool echo_ = false;
    std::function<void()> duringDial_;
    std::vector<std::string> calls_;
};

// Installs a fresh scripted backend for the whole process and restores the system
// backend, prompt and pump at the end of the scope.
class ScriptedDialup {
public:
    ScriptedDialup();
    ScriptedDialup(const ScriptedDialup&) = delete;
    ScriptedDialup& operator=(const ScriptedDialup&) = delete;
    ~ScriptedDialup();

    ScriptedDialupBackend& operator*() { return *backend_; }
    ScriptedDialupBackend* operator->() { return backend_.get(); }

private:
    std::shared_ptr<ScriptedDialupBackend> backend_;
};

} // namespace tolvar::test
