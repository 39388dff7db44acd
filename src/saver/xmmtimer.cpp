#include "saver/xmmtimer.h"

#include <algorithm>

xMMTimer::xMMTimer(QObject* owner) : owner_(owner) {
    platform::AddTickClient(this);
}

xMMTimer::~xMMTimer() {
    // Waits for a running walk: nothing of this timer is touched once it returns.
    platform::RemoveTickClient(this);
}

bool xMMTimer::Enabled() const {
    const auto lock = platform::LockTickList();
    return enabled_;
}

void xMMTimer::SetEnabled(bool enabled) {
    const auto lock = platform::LockTickList();
    enabled_ = enabled;
    platform::WakeTickThread();
}

int xMMTimer::Interval() const {
    const auto lock = platform::LockTickList();
    return interval_;
}

void xMMTimer::SetInterval(int ms) {
    const int value = std::max(ms, Period());
    const auto lock = platform::LockTickList();
    interval_ = value;
    countdown_ = value;
    secondPhaseLength_ = value / 2 + 1;
    platform::WakeTickThread();
}

int xMMTimer::SecondPhaseLength() const {
    const auto lock = platform::LockTickList();
    return secondPhaseLength_;
}

void xMMTimer::SetSecondPhase(int ms) {
    const auto lock = platform::LockTickList();
    secondPhaseLength_ = std::max(ms, Period());
    platform::WakeTickThread();
}

void xMMTimer::SetOnTimer(Event event) {
    const auto lock = platform::LockTickList();
    onTimer_ = std::move(event);
    platform::WakeTickThread();
}

void xMMTimer::SetOnSecondPhase(Event event) {
    const auto lock = platform::LockTickList();
    onSecondPhase_ = std::move(event);
    platform::WakeTickThread();
}

int xMMTimer::Countdown() const {
    const auto lock = platform::LockTickList();
    return countdown_;
}

int xMMTimer::PhaseCountdown() const {
    const auto lock = platform::LockTickList();
    return phaseCountdown_;
}

int xMMTimer::PeriodsUntilDue() const {
    if (!enabled_) {
        return platform::TickSchedule::kMaxPeriods;
    }
    if (onSecondPhase_ && phaseCountdown_ > 0) {
        return 1;
    }
    return onTimer_ || onSecondPhase_ ? std::max(countdown_, 1)
                                      : platform::TickSchedule::kMaxPeriods;
}

void xMMTimer::Advance(int periods) {
    const auto lock = platform::LockTickList();
    OnTick(periods);
}

void xMMTimer::OnTick(int periods) {
    if (!enabled_) {
        return;
    }
    periods = std::max(periods, 1);
    bool fired = false;
    countdown_ -= periods;
    if (countdown_ <= 0) {
        // Counted on from when it was due: the next one is due an interval after this
        // deadline, whenever this walk came. Whole intervals missed are dropped.
        countdown_ = interval_ - (-countdown_) % interval_;
        if (onTimer_) {
            // A copy: the event may replace itself through SetOnTimer.
            const Event event = onTimer_;
            event(owner_);
            fired = true;
            if (onSecondPhase_) {
                phaseCountdown_ = secondPhaseLength_;
            }
        }
    }
    if (onSecondPhase_) {
        // Held at 0 once the phase is over: counting on would overflow after weeks of
        // running and start the phase again on its own. The walk that started the phase
        // counts as its first tick.
        phaseCountdown_ = std::max(phaseCountdown_ - (fired ? 1 : periods), 0);
        if (phaseCountdown_ > 0) {
            const Event event = onSecondPhase_;
            event(owner_);
        }
    }
}
