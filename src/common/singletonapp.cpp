#include "common/singletonapp.h"

#include "platform/activation.h"

#include <cstdio>
#include <exception>
#include <unistd.h>

namespace {

// Module state: the guard name and the one instance.
std::string guardName;
SingletonApp* instance = nullptr;

} // namespace

SingletonApp* SingletonApp::CreateInstance(const std::string& name) {
    if (instance == nullptr) {
        guardName = name;
        instance = new SingletonApp();
    }
    return instance;
}

SingletonApp* SingletonApp::GetInstance() {
    return instance;
}

SingletonApp::~SingletonApp() {
    mutex_.reset();
    if (listenerWindow_ != 0) {
        platform::Bus* bus = platform::Bus::Instance();
        if (bus != nullptr && bus->IsOwnWindow(listenerWindow_)) {
            bus->DestroyWindow(listenerWindow_);
        }
        listenerWindow_ = 0;
    }
    if (instance == this) {
        instance = nullptr;
    }
}

bool SingletonApp::Claim() {
    try {
        if (mutex_) {
            mutex_.reset();
            return false;
        }
        platform::Bus* bus = platform::Bus::Instance();
        // Without a bus the guard still holds; only the notification is lost.
        if (listenerWindow_ == 0 && bus != nullptr) {
            listenerWindow_ =
                bus->CreateWindow([this](platform::WindowHandle, const platform::Message& message) {
                    return ListenerProcedure(message);
                });
        }
        try {
            messageId_ = static_cast<std::uint16_t>(platform::RegisterMessage(guardName));
        } catch (const std::exception&) {
            messageId_ = 0;
        }
        std::optional<platform::NamedLock> lock;
        try {
            lock = platform::NamedLock::TryAcquire(guardName);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "single-instance guard \"%s\": %s\n", guardName.c_str(), e.what());
            Notify();
            return false;
        }
        if (!lock) {
            Notify();
            return false;
        }
        mutex_ = std::move(lock);
        return true;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "single-instance guard \"%s\": %s\n", guardName.c_str(), e.what());
        return false;
    }
}

void SingletonApp::SetActivationCallback(ActivationCallback callback) {
    activationCallback_ = std::move(callback);
}

std::int64_t SingletonApp::ListenerProcedure(const platform::Message& message) {
    if (messageId_ != 0 && (message.number & 0xFFFF) == messageId_) {
        if (activationCallback_) {
            activationCallback_(message);
        } else {
            platform::ActivateApplication();
        }
    }
    return 0;
}

void SingletonApp::Notify() {
    platform::Bus* bus = platform::Bus::Instance();
    if (messageId_ == 0 || bus == nullptr) {
        return;
    }
    // There is no mutex handle to pass: the first parameter names the notifying process.
    bus->NotifyBroadcast(platform::Message(messageId_, ::getpid(), listenerWindow_));
}
