#include "platform/mmtimer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace platform {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kPeriodNanos = std::int64_t(kTickPeriodMs) * 1'000'000;

// One started thread's stop request, guarded by the list's lock. Each thread has its own,
// so a thread that is still finishing its last walk never takes a later thread's stop.
struct ThreadControl {
    bool stop = false;
};

struct State {
    std::recursive_mutex lock;
    // Wakes the sleeping thread early (a client's need came nearer, or a stop).
    std::mutex wakeMutex;
    std::condition_variable wakeCv;
    bool wake = false;
    // Registered clients in order; a client removed during a walk is left as null until
    // the walk ends, so the walk's positions stay valid.
    std::vector<TickClient*> clients;
    bool walking = false;
    std::thread thread;
    std::shared_ptr<ThreadControl> control; // null while no thread runs
    // Threads stopped from their own walk: they cannot join themselves, so the next
    // add or remove on another thread (or the process's end) joins them.
    std::vector<std::thread> stopped;
    std::uint64_t starts = 0;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        std::vector<std::thread> joins;
        {
            const std::lock_guard guard(lock);
            if (control) {
                control->stop = true;
                control.reset();
            }
            {
                const std::lock_guard wakeLock(wakeMutex);
                wake = true;
            }
            wakeCv.notify_all();
            if (thread.joinable()) {
                joins.push_back(std::move(thread));
            }
            for (std::thread& t : stopped) {
                joins.push_back(std::move(t));
            }
            stopped.clear();
        }
        for (std::thread& t : joins) {
            if (t.joinable() && t.get_id() != std::this_thread::get_id()) {
                t.join();
            } else if (t.joinable()) {
                t.detach();
            }
        }
    }
};

State& TheState() {
    static State state;
    return state;
}

thread_local bool tOnTickThread = false;
// How many holds of the list's lock this thread has.
thread_local int tLockDepth = 0;

// The list's lock, counted per thread.
class Guard {
public:
    explicit Guard(std::recursive_mutex& m) : lock_(m) { ++tLockDepth; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() { --tLockDepth; }

private:
    std::lock_guard<std::recursive_mutex> lock_;
};

std::int64_t Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

// Sleeps to the deadline; true when woken before it by WakeTickThread.
bool SleepUntil(State& s, std::int64_t deadline) {
    const std::chrono::steady_clock::time_point until{std::chrono::nanoseconds(deadline)};
    std::unique_lock lock(s.wakeMutex);
    const bool woken = s.wakeCv.wait_until(lock, until, [&] { return s.wake; });
    s.wake = false;
    return woken;
}

void Wake(State& s) {
    {
        const std::lock_guard lock(s.wakeMutex);
        s.wake = true;
    }
    s.wakeCv.notify_all();
}

bool HasLiveClient(const State& s) {
    return std::any_of(s.clients.begin(), s.clients.end(),
                       [](const TickClient* c) { return c != nullptr; });
}

// Takes the stopped threads that the caller may join (never the caller itself).
// Nothing while the caller holds the list's lock further up (a stopped thread may be
// waiting for it to see its stop): those are joined by a later call.
void TakeStopped(State& s, std::vector<std::thread>& joins) {
    if (tLockDepth > 1) {
        return;
    }
    const auto self = std::this_thread::get_id();
    std::vector<std::thread> kept;
    for (std::thread& t : s.stopped) {
        if (t.get_id() == self) {
            kept.push_back(std::move(t));
        } else {
            joins.push_back(std::move(t));
        }
    }
    s.stopped = std::move(kept);
}

void JoinAll(std::vector<std::thread>& joins) {
    for (std::thread& t : joins) {
        if (t.joinable()) {
            t.join();
        }
    }
}

void Walk(State& s, const ThreadControl& control, int periods) {
    s.walking = true;
    // Clients added during the walk are called from the next one on.
    const std::size_t n = s.clients.size();
    for (std::size_t i = 0; i < n && !control.stop; ++i) {
        if (TickClient* client = s.clients[i]) {
            client->OnTick(periods);
        }
    }
    s.walking = false;
    s.clients.erase(std::remove(s.clients.begin(), s.clients.end(), nullptr), s.clients.end());
}

// control is the thread's own copy (std::thread keeps it for the whole run), so it outlives
// any change of the state's control block.
void Run(const std::shared_ptr<ThreadControl>& control) {
    tOnTickThread = true;
    State& s = TheState();
    TickSchedule schedule(Now() + kPeriodNanos, kPeriodNanos);
    for (;;) {
        if (SleepUntil(s, schedule.Deadline())) {
            const Guard guard(s.lock);
            if (control->stop) {
                return;
            }
            // Woken early: walk at the next period of the grid, where the new need is met.
            schedule.WakeAt(Now());
            if (Now() < schedule.Deadline()) {
                continue;
            }
        }
        int wanted = TickSchedule::kMaxPeriods;
        {
            const Guard guard(s.lock);
            if (control->stop) {
                return;
            }
            Walk(s, *control, schedule.Periods());
            if (control->stop) {
                return;
            }
            for (const TickClient* client : s.clients) {
                if (client != nullptr) {
                    wanted = std::min(wanted, std::max(client->PeriodsUntilDue(), 1));
                }
            }
        }
        schedule.Next(Now(), wanted);
    }
}

} // namespace

int TickSchedule::Periods() const {
    return int(std::min<std::int64_t>((deadline_ - last_) / period_, kMaxPeriods));
}

std::int64_t TickSchedule::FirstAhead(std::int64_t now) const {
    // The grid runs through the last walk's deadline.
    if (now < last_) {
        return last_ + period_;
    }
    return last_ + ((now - last_) / period_ + 1) * period_;
}

int TickSchedule::Next(std::int64_t now, int wanted) {
    last_ = deadline_;
    deadline_ = last_ + std::int64_t(std::clamp(wanted, 1, kMaxPeriods)) * period_;
    if (deadline_ <= now) {
        // A walk that ran past the next deadlines: they are skipped rather than walked in a
        // burst, and the walk after them counts them.
        deadline_ = FirstAhead(now);
    }
    return Periods();
}

void TickSchedule::WakeAt(std::int64_t now) {
    deadline_ = std::min(deadline_, FirstAhead(now));
}

void WakeTickThread() {
    Wake(TheState());
}

void AddTickClient(TickClient* client) {
    if (client == nullptr) {
        return;
    }
    State& s = TheState();
    std::vector<std::thread> joins;
    {
        const Guard guard(s.lock);
        if (std::find(s.clients.begin(), s.clients.end(), client) != s.clients.end()) {
            return;
        }
        s.clients.push_back(client);
        // The thread may be asleep for longer than the new client's first need.
        Wake(s);
        if (!s.control) {
            if (s.thread.joinable()) {
                s.stopped.push_back(std::move(s.thread));
            }
            try {
                s.control = std::make_shared<ThreadControl>();
                s.thread = std::thread(Run, s.control);
            } catch (...) {
                // No thread (the system is out of them): the client is not registered,
                // so nothing is left to call an object whose construction fails here.
                s.control.reset();
                s.clients.pop_back();
                throw;
            }
            ++s.starts;
        }
        TakeStopped(s, joins);
    }
    JoinAll(joins);
}

void RemoveTickClient(TickClient* client) {
    if (client == nullptr) {
        return;
    }
    State& s = TheState();
    std::vector<std::thread> joins;
    {
        const Guard guard(s.lock);
        const auto it = std::find(s.clients.begin(), s.clients.end(), client);
        if (it == s.clients.end()) {
            return;
        }
        if (s.walking) {
            *it = nullptr; // removed from inside a walk: its walk compacts the list
        } else {
            s.clients.erase(it);
        }
        if (!HasLiveClient(s) && s.control) {
            s.control->stop = true;
            s.control.reset();
            s.stopped.push_back(std::move(s.thread));
            Wake(s);
        }
        TakeStopped(s, joins);
    }
    JoinAll(joins);
}

TickListLock LockTickList() {
    return TickListLock(TheState().lock);
}

TickListLock::TickListLock(std::recursive_mutex& m) : mutex_(&m) {
    mutex_->lock();
    ++tLockDepth;
}

TickListLock::TickListLock(TickListLock&& other) noexcept
    : mutex_(std::exchange(other.mutex_, nullptr)) {}

TickListLock::~TickListLock() {
    if (mutex_ != nullptr) {
        --tLockDepth;
        mutex_->unlock();
    }
}

bool IsTickThreadRunning() {
    State& s = TheState();
    const std::lock_guard guard(s.lock);
    return s.control != nullptr;
}

bool IsTickThread() {
    return tOnTickThread;
}

std::uint64_t TickThreadStarts() {
    State& s = TheState();
    const std::lock_guard guard(s.lock);
    return s.starts;
}

} // namespace platform
