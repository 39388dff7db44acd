#pragma once

// The timer thread: one thread per process that ticks every period and calls each
// registered client in the order registered, in place of a periodic multimedia timer.
//
// The thread exists exactly while at least one client is registered: the first AddTickClient
// starts it, the RemoveTickClient that empties the list stops and joins it. It sleeps to
// absolute deadlines on the monotonic clock, so the rate does not drift with the time a
// walk takes; deadlines missed because a walk ran long (or the thread was kept from
// running) are skipped, not made up in a burst, and the next walk is told how many periods
// it stands for: clients that count periods follow elapsed time, not the number of walks.
//
// One lock guards the client list. The thread holds it for its whole walk, and every
// change of the list takes it, so a walk never sees the list change under it and a client
// that RemoveTickClient has returned for is never called again. Clients guard their own
// fields with the same lock (LockTickList) so that a setter never races a walk. The lock
// is re-entrant: a client may add or remove clients, or take the lock, from inside its
// OnTick.
//
// Threads: any thread may add and remove clients and take the lock. OnTick runs on the
// timer thread with the lock held: it must not wait for a thread that could be waiting
// for the lock (the GUI thread, for one: hand work to it without waiting).

#include <cstdint>
#include <mutex>

namespace platform {

class TickClient {
public:
    // Called once a period on the timer thread, with the list's lock held. periods is how
    // many periods have passed since the previous walk's deadline (1 when on time; more
    // when deadlines were skipped, or when no client needed the walks between).
    virtual void OnTick(int periods) = 0;
    // How many periods from the last walk's deadline the client needs its next walk (1:
    // every period). Asked with the list's lock held after each walk; the thread sleeps
    // until the nearest need, so idle timers cost no wake-ups. A client whose need grows
    // nearer outside a walk calls WakeTickThread.
    virtual int PeriodsUntilDue() const { return 1; }

protected:
    virtual ~TickClient() = default;
};

// The period of the timer thread in milliseconds (the resolution granted).
constexpr int kTickPeriodMs = 1;

// The timer thread's deadlines: a fixed grid of periods from the first one. Plain data;
// times in nanoseconds of any clock.
class TickSchedule {
public:
    // A walk never stands for more than this many periods (a minute at 1 ms): a clock
    // that jumped after a suspend would otherwise overflow a client's count.
    static constexpr int kMaxPeriods = 60'000;

    TickSchedule(std::int64_t first, std::int64_t period)
        : last_(first - period), deadline_(first), period_(period > 0 ? period : 1) {}
    // When the next walk is due.
    std::int64_t Deadline() const { return deadline_; }
    // How many periods the walk due at Deadline() stands for.
    int Periods() const;
    // After the walk due at Deadline() has ended at now: moves to the deadline wanted
    // periods after it (at least 1), or when that has passed to the first deadline of the
    // grid still ahead of now, and returns Periods().
    int Next(std::int64_t now, int wanted = 1);
    // A need that came up at now: the next deadline becomes the first of the grid ahead
    // of now when that is sooner.
    void WakeAt(std::int64_t now);

private:
    std::int64_t FirstAhead(std::int64_t now) const;

    std::int64_t last_; // the deadline of the previous walk
    std::int64_t deadline_;
    std::int64_t period_;
};

// Makes the timer thread ask its clients again when they need their next walk (a timer
// was enabled or given a shorter interval). Any thread; never waits.
void WakeTickThread();

// Appends the client (once; a registered one or null changes nothing), starting the
// thread when it is the first.
void AddTickClient(TickClient* client);
// Removes the client; an unregistered one changes nothing. Waits for a running walk, so
// the client is never called after this returns. Removing the last client stops the
// thread and, unless called on the timer thread itself, joins it before returning.
void RemoveTickClient(TickClient* client);

// One hold of the client list's lock, the lock every walk holds.
class TickListLock {
public:
    explicit TickListLock(std::recursive_mutex& m);
    TickListLock(TickListLock&& other) noexcept;
    TickListLock(const TickListLock&) = delete;
    TickListLock& operator=(const TickListLock&) = delete;
    TickListLock& operator=(TickListLock&&) = delete;
    ~TickListLock();

private:
    std::recursive_mutex* mutex_;
};

// Takes the client list's lock. A client removed while the caller holds it stops the
// thread, but the thread is joined only by a later add or remove made without the lock.
TickListLock LockTickList();

// Whether the timer thread runs (a client is registered).
bool IsTickThreadRunning();
// Whether the caller is the timer thread.
bool IsTickThread();
// How many times a timer thread has been started in this process.
std::uint64_t TickThreadStarts();

} // namespace platform
