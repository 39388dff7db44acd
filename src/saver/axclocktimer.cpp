#include "saver/axclocktimer.h"

#include "platform/ui/timer.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct Shared {
    // Outlives every registry: a registry dropped and made anew keeps one lock.
    std::mutex lock;
    std::unique_ptr<platform::Timer> timer;
    std::unique_ptr<std::vector<AXClockTimer*>> registry;
};

Shared& State() {
    static Shared shared;
    return shared;
}

constexpr int kTickInterval = 1000;

} // namespace

AXClockTimer::AXClockTimer() {
    Shared& s = State();
    std::lock_guard lock(s.lock);
    if (!s.registry) {
        s.timer = std::make_unique<platform::Timer>();
        s.timer->SetInterval(kTickInterval);
        s.timer->OnTimer = &AXClockTimer::Tick;
        s.registry = std::make_unique<std::vector<AXClockTimer*>>();
    }
    s.registry->push_back(this);
}

AXClockTimer::~AXClockTimer() {
    Shared& s = State();
    std::unique_ptr<platform::Timer> timer;
    {
        std::lock_guard lock(s.lock);
        if (!s.registry) {
            return;
        }
        std::erase(*s.registry, this);
        if (!s.registry->empty()) {
            return;
        }
        s.registry.reset();
        timer = std::move(s.timer);
    }
    if (timer) {
        timer->SetEnabled(false);
    }
}

void AXClockTimer::Tick() {
    Shared& s = State();
    std::lock_guard lock(s.lock);
    if (!s.registry) {
        return;
    }
    for (AXClockTimer* registration : *s.registry) {
        if (registration->Enabled && registration->Callback) {
            registration->Callback();
        }
    }
}

const platform::Timer* AXClockTimer::SharedTimer() {
    Shared& s = State();
    std::lock_guard lock(s.lock);
    return s.timer.get();
}

std::size_t AXClockTimer::RegistrationCount() {
    Shared& s = State();
    std::lock_guard lock(s.lock);
    return s.registry ? s.registry->size() : 0;
}
