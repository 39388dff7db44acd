#include "support/scripted_dialup.h"

#include <iostream>
#include <utility>

namespace tolvar::test {

void ScriptedDialupBackend::SetLan(bool up) {
    std::lock_guard guard(mutex_);
    lan_ = up;
}

void ScriptedDialupBackend::SetLanConfigured(bool configured) {
    std::lock_guard guard(mutex_);
    lanConfigured_ = configured;
}

void ScriptedDialupBackend::SetInstalled(std::optional<std::string> name) {
    std::lock_guard guard(mutex_);
    installed_ = std::move(name);
}

void ScriptedDialupBackend::SetDialSucceeds(bool succeeds) {
    std::lock_guard guard(mutex_);
    dialSucceeds_ = succeeds;
}

void ScriptedDialupBackend::SetHangUpSucceeds(bool succeeds) {
    std::lock_guard guard(mutex_);
    hangUpSucceeds_ = succeeds;
}

void ScriptedDialupBackend::SetDuringDial(std::function<void()> action) {
    std::lock_guard guard(mutex_);
    duringDial_ = std::move(action);
}

void ScriptedDialupBackend::SetEcho(bool echo) {
    std::lock_guard guard(mutex_);
    echo_ = echo;
}

std::vector<std::string> ScriptedDialupBackend::Calls() const {
    std::lock_guard guard(mutex_);
    return calls_;
}

std::vector<std::string> ScriptedDialupBackend::TakeCalls() {
    std::lock_guard guard(mutex_);
    return std::exchange(calls_, {});
}

bool ScriptedDialupBackend::LanUp() {
    std::lock_guard guard(mutex_);
    return lan_;
}

bool ScriptedDialupBackend::LanConfigured() {
    std::lock_guard guard(mutex_);
    return lan_ || lanConfigured_;
}

std::optional<std::string> ScriptedDialupBackend::Installed() {
    std::lock_guard guard(mutex_);
    return installed_;
}

bool ScriptedDialupBackend::Dial(const std::string& name, const platform::WaitPump& pump) {
    Log("dial " + name);
    if (pump) {
        pump(std::chrono::milliseconds(1));
    }
    std::function<void()> action;
    {
        std::lock_guard guard(mutex_);
        action = duringDial_;
    }
    if (action) {
        action();
    }
    std::lock_guard guard(mutex_);
    return dialSucceeds_;
}

bool ScriptedDialupBackend::HangUp(const std::string& name, const platform::WaitPump&) {
    Log("hangup " + name);
    std::lock_guard guard(mutex_);
    return hangUpSucceeds_;
}

void ScriptedDialupBackend::Log(std::string call) {
    std::lock_guard guard(mutex_);
    if (echo_) {
        std::cout << call << std::endl;
    }
    calls_.push_back(std::move(call));
}

ScriptedDialup::ScriptedDialup() : backend_(std::make_shared<ScriptedDialupBackend>()) {
    platform::SetDialupBackend(backend_);
}

ScriptedDialup::~ScriptedDialup() {
    platform::SetDialupBackend(nullptr);
    platform::SetDialPrompt({});
    platform::SetDialWaitPump({});
}

} // namespace tolvar::test
