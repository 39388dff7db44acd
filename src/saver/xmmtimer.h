#pragma once

// xMMTimer, a countdown on the shared timer thread: every period (1 ms) that passes counts
// an enabled timer down by one; at 0 it calls OnTimer with its Owner and starts again from
// Interval. An optional second phase calls OnSecondPhase on the ticks that follow each
// OnTimer, SecondPhaseLength - 1 times.
//
// The count follows elapsed time, not the thread's walks: a walk that comes late (an event
// that painted for 3 ms, a busy machine) stands for every period since the last one, and
// the next OnTimer stays due Interval periods after the previous one was due, not after it
// ran. OnTimer comes at most once per walk; intervals missed entirely are dropped. The
// thread sleeps until the nearest timer is due (every period only while a second phase
// runs), so a ticker at 32 ms wakes it about 31 times a second, not 1000.
//
// All timers of the process share the one timer thread (platform/mmtimer.h): it runs from
// the construction of the first to the destruction of the last, and walks the live timers
// in creation order.
//
// Threads: construction, destruction and the setters on any thread (the screen builder's
// main thread). The events run on the timer thread. Every setter and the destructor take
// the timer list's lock, which each walk holds: once one of them returns, a walk that was
// running has finished, and an event cleared or a timer disabled or destroyed is never
// called again. An event may call the setters of any timer (the lock is re-entrant), but
// must not destroy its own timer nor wait for a thread that could be inside a setter.

#include "platform/mmtimer.h"

#include <functional>

class QObject;

class xMMTimer : private platform::TickClient {
public:
    using Event = std::function<void(QObject* sender)>;

    // Disabled, Interval 100; owner is passed as the sender of both events.
    explicit xMMTimer(QObject* owner);
    ~xMMTimer() override;
    xMMTimer(const xMMTimer&) = delete;
    xMMTimer& operator=(const xMMTimer&) = delete;

    QObject* Owner() const { return owner_; }

    bool Enabled() const;
    void SetEnabled(bool enabled);
    // Ticks between two OnTimer events; never below Period.
    int Interval() const;
    // Interval and Countdown become the greater of ms and Period; SecondPhaseLength
    // becomes half of that plus one.
    void SetInterval(int ms);
    int SecondPhaseLength() const;
    // SecondPhaseLength becomes the greater of ms and Period.
    void SetSecondPhase(int ms);
    void SetOnTimer(Event event);
    void SetOnSecondPhase(Event event);

    // Ticks left to the next OnTimer / in the second phase.
    int Countdown() const;
    int PhaseCountdown() const;

    // One walk of the timer thread that stands for the given periods (at least 1): what
    // the thread calls. Takes the timer list's lock; a caller that holds it keeps the
    // thread's own walks out meanwhile and so drives the timer alone.
    void Advance(int periods);

    // The timer thread's period in ms (the resolution granted).
    static int Period() { return platform::kTickPeriodMs; }
    // Whether the shared timer thread runs (at least one xMMTimer lives).
    static bool Running() { return platform::IsTickThreadRunning(); }

private:
    void OnTick(int periods) override;
    int PeriodsUntilDue() const override;

    QObject* const owner_;
    // Guarded by the timer list's lock.
    bool enabled_ = false;
    int interval_ = 100;
    Event onTimer_;
    int countdown_ = 100;
    Event onSecondPhase_;
    int secondPhaseLength_ = 51;
    int phaseCountdown_ = 100;
};
