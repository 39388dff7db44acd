#pragma once

// The timer thread: one thread per process that ticks every period and calls each
// registered client in the order registered, in place of a periodic multimedia timer.
//
// The thread exists exactly while at least one client is registered: the first AddTickClient
// starts it, the RemoveTickClient that empties the list stops and joins it. It sleeps to
// absolute deadlines on the monotonic clock, so the rate does not drift with the time a
// walk takes; deadlines missed because a walk ran long are skipped, not made up in a burst.
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
    // Called once a period on the timer thread, with the list's lock held.
    virtual void OnTick() = 0;

protected:
    virtual ~TickClient() = default;
};

// The period of the timer thread in milliseconds (the resolution granted).
constexpr int kTickPeriodMs = 1;

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
