#pragma once

// The single-instance guard: one SingletonApp per program holds a named lock of the
// guard's name while this instance runs, and listens, in a hidden utility window on the
// message bus, for the registered message of the same name, through which a second
// instance asks the first one to come to the front.
//
// The process owns its one instance (made by CreateInstance; the programs never free it,
// so the claim lasts until the process ends). Deleting it releases the guard, destroys
// the listener window and lets CreateInstance make a new one.
//
// Threads: main thread only (the thread of the process's message bus).

#include "platform/bus.h"
#include "platform/namedlock.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class SingletonApp {
public:
    // Replaces the default reaction to the activation message.
    using ActivationCallback = std::function<void(const platform::Message& message)>;

    // The one instance, made with this guard name when none exists; a later call returns
    // the existing instance and ignores its name.
    static SingletonApp* CreateInstance(const std::string& name);
    // The instance, or nullptr before CreateInstance.
    static SingletonApp* GetInstance();

    SingletonApp(const SingletonApp&) = delete;
    SingletonApp& operator=(const SingletonApp&) = delete;
    // Releases the guard and destroys the listener window.
    ~SingletonApp();

    // True when this process now holds the guard. False when another instance holds it
    // (which has been notified), on any error, and when called on a held claim (which it
    // releases). The guard of an instance that ended, however it ended, is free at once.
    bool Claim();

    void SetActivationCallback(ActivationCallback callback);
    // The listener window; 0 before the first claim or without a message bus.
    platform::WindowHandle ListenerWindow() const { return listenerWindow_; }
    // The id of the registered message of the guard's name; 0 before the first claim.
    std::uint16_t MessageId() const { return messageId_; }

private:
    SingletonApp() = default;

    std::int64_t ListenerProcedure(const platform::Message& message);
    void Notify();

    platform::WindowHandle listenerWindow_ = 0;
    std::optional<platform::NamedLock> mutex_;
    ActivationCallback activationCallback_;
    std::uint16_t messageId_ = 0;
};
