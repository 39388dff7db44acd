#include "platform/activation.h"

#include <utility>

namespace platform {

namespace {

std::function<void()>& Activator() {
    static std::function<void()> activator;
    return activator;
}

} // namespace

void SetApplicationActivator(std::function<void()> activator) {
    Activator() = std::move(activator);
}

bool ActivateApplication() {
    // A copy: the action may bind another one while it runs.
    const std::function<void()> activator = Activator();
    if (!activator) {
        return false;
    }
    activator();
    return true;
}

} // namespace platform
