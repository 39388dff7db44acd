#pragma once

// AXClockTimer, one clock's registration at the shared clock timer.
//
// All registrations of the program share one window-message timer of 1000 ms and one
// lock-guarded registry (in the order the registrations were made). The first
// registration creates both, the last one to go destroys them, so the timer exists
// exactly while a registration does. Every tick calls, in that order, the callback of
// each enabled registration.
//
// Threads: main thread only (the timer is a window-message timer): creation,
// destruction and ticks. A callback must not create or destroy a registration: the
// tick holds the registry's lock for the whole round.

#include <cstddef>
#include <functional>

namespace platform {
class Timer;
} // namespace platform

class AXClockTimer {
public:
    // Enabled, without a callback; registered at once.
    AXClockTimer();
    ~AXClockTimer();
    AXClockTimer(const AXClockTimer&) = delete;
    AXClockTimer& operator=(const AXClockTimer&) = delete;

    // Called on every tick while Enabled.
    std::function<void()> Callback;
    // Kept for the owner (clocks store 1000); the shared timer always runs at 1000 ms.
    int Interval = 0;
    bool Enabled = true;

    // One round of callbacks, as the shared timer runs it.
    static void Tick();
    // The shared timer; null while there is no registration.
    static const platform::Timer* SharedTimer();
    static std::size_t RegistrationCount();
};
