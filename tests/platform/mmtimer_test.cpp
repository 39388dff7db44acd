#include "platform/mmtimer.h"
#include "support/temphome.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::AddTickClient;
using platform::IsTickThreadRunning;
using platform::RemoveTickClient;
using tolvar::test::WaitUntil;

// Counts its ticks and runs an optional action on each (on the timer thread).
class Counter : public platform::TickClient {
public:
    void OnTick(int) override {
        onTimerThread = onTimerThread && platform::IsTickThread();
        ++ticks;
        if (action) {
            action();
        }
    }
    std::atomic<int> ticks{0};
    std::atomic<bool> onTimerThread{true};
    std::function<void()> action;
};

// Registered for the life of the object.
class Registered : public Counter {
public:
    Registered() { AddTickClient(this); }
    ~Registered() override { RemoveTickClient(this); }
};

bool TicksPass(const Counter& counter, int n) {
    const int start = counter.ticks.load();
    return WaitUntil([&] { return counter.ticks.load() >= start + n; });
}

TEST(TimerThreadTest, TicksArriveOnTheTimerThreadWhileAClientIsRegistered) {
    ASSERT_FALSE(IsTickThreadRunning());
    {
        Registered client;
        EXPECT_TRUE(IsTickThreadRunning());
        ASSERT_TRUE(TicksPass(client, 5));
        EXPECT_TRUE(client.onTimerThread.load());
        EXPECT_FALSE(platform::IsTickThread());
    }
    EXPECT_FALSE(IsTickThreadRunning());
    EXPECT_EQ(platform::kTickPeriodMs, 1);
}

TEST(TimerThreadTest, TheLastClientStopsTheThreadAndANewOneStartsIt) {
    const auto starts = platform::TickThreadStarts();
    auto first = std::make_unique<Registered>();
    auto second = std::make_unique<Registered>();
    EXPECT_EQ(platform::TickThreadStarts(), starts + 1);
    first.reset();
    EXPECT_TRUE(IsTickThreadRunning());
    ASSERT_TRUE(TicksPass(*second, 3));
    second.reset();
    EXPECT_FALSE(IsTickThreadRunning());

    Registered third;
    EXPECT_TRUE(IsTickThreadRunning());
    EXPECT_EQ(platform::TickThreadStarts(), starts + 2);
    EXPECT_TRUE(TicksPass(third, 3));
}

TEST(TimerThreadTest, ClientsAreCalledInTheOrderRegisteredAndOnlyOnce) {
    std::vector<char> calls; // written on the timer thread under the list's lock
    Counter a;
    Counter b;
    a.action = [&] { calls.push_back('a'); };
    b.action = [&] { calls.push_back('b'); };
    {
        const auto lock = platform::LockTickList();
        AddTickClient(&a);
        AddTickClient(&b);
        AddTickClient(&a); // already registered: no second call per walk
        AddTickClient(nullptr);
    }
    ASSERT_TRUE(TicksPass(b, 10));
    {
        const auto lock = platform::LockTickList();
        RemoveTickClient(&a);
        RemoveTickClient(&b);
        RemoveTickClient(&b); // unregistered: nothing
    }
    ASSERT_GE(calls.size(), 20u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        ASSERT_EQ(calls[i], i % 2 == 0 ? 'a' : 'b') << i;
    }
    EXPECT_FALSE(IsTickThreadRunning());
}

// A client removed (and freed) by another thread while its tick runs: the removal waits
// for that tick, and the client is never called again.
TEST(TimerThreadTest, AClientRemovedFromAnotherThreadDuringItsTickIsNeverCalledAfterwards) {
    Registered keeper; // keeps the thread running after the removal
    std::atomic<bool> removing{false};
    std::atomic<bool> removed{false};
    std::atomic<bool> removedDuringTick{false};
    std::atomic<bool> calledAfterRemoval{false};
    std::atomic<bool> entered{false};

    auto* client = new Counter;
    client->action = [&] {
        if (removed.load()) {
            calledAfterRemoval = true;
        }
        if (entered.exchange(true)) {
            return;
        }
        // Hold the first tick until the removal has begun, then give a removal that does
        // not wait the chance to return under it.
        WaitUntil([&] { return removing.load(); });
        if (WaitUntil([&] { return removed.load(); }, std::chrono::milliseconds(200))) {
            removedDuringTick = true;
        }
    };
    AddTickClient(client);
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    std::thread remover([&] {
        removing = true;
        RemoveTickClient(client);
        removed = true;
        delete client; // a later call would touch freed memory
    });
    remover.join();
    EXPECT_FALSE(removedDuringTick.load());
    ASSERT_TRUE(TicksPass(keeper, 10));
    EXPECT_FALSE(calledAfterRemoval.load());
}

// Clients may change the list from their own tick: a client that removes itself stops
// the thread when it was the last, and one added from a tick is called from then on.
TEST(TimerThreadTest, ClientsMayAddAndRemoveFromInsideATick) {
    Counter added;
    Counter self;
    self.action = [&] {
        if (self.ticks.load() == 3) {
            AddTickClient(&added);
        }
        if (self.ticks.load() == 6) {
            RemoveTickClient(&self);
        }
    };
    AddTickClient(&self);
    ASSERT_TRUE(TicksPass(added, 5));
    EXPECT_EQ(self.ticks.load(), 6);
    EXPECT_TRUE(added.onTimerThread.load());

    // The last client removes itself: the thread stops without joining itself, and a new
    // client afterwards gets a new thread.
    std::atomic<bool> gone{false};
    {
        const auto lock = platform::LockTickList(); // no tick reads the action meanwhile
        added.action = [&] {
            RemoveTickClient(&added);
            gone = true;
        };
    }
    ASSERT_TRUE(WaitUntil([&] { return gone.load(); }));
    EXPECT_TRUE(WaitUntil([] { return !IsTickThreadRunning(); }));
    const int ticks = added.ticks.load();
    Registered next;
    EXPECT_TRUE(TicksPass(next, 3));
    EXPECT_EQ(added.ticks.load(), ticks);
}

} // namespace

namespace {

// The deadlines stay on the grid of periods from the first: a walk that ends late skips
// the deadlines it ran past, and the next walk stands for every period since the last one.
TEST(TickScheduleTest, WalksStandForThePeriodsSinceThePreviousDeadline) {
    struct Case {
        const char* name;
        std::int64_t endsAfter; // when the walk due at the deadline ends, after it
        std::int64_t next;      // the next deadline, after the previous one
        int periods;
    };
    constexpr std::int64_t kMs = 1'000'000;
    const Case cases[] = {
        {"on time", 100'000, kMs, 1},
        {"just before the next", kMs - 1, kMs, 1},
        {"exactly at the next", kMs, 2 * kMs, 2},
        {"painting 3 ms", 3 * kMs + 200'000, 4 * kMs, 4},
        {"long stall", 5'000 * kMs, 5'001 * kMs, 5'001},
    };
    for (const Case& c : cases) {
        const std::int64_t first = 7 * kMs + 123;
        platform::TickSchedule schedule(first, kMs);
        EXPECT_EQ(schedule.Next(first + c.endsAfter), c.periods) << c.name;
        EXPECT_EQ(schedule.Deadline(), first + c.next) << c.name;
    }
    // A walk wanted later leaves the periods between out; a need that comes up meanwhile
    // brings the deadline back to the next period of the grid.
    {
        platform::TickSchedule later(0, kMs);
        EXPECT_EQ(later.Next(100'000, 32), 32);
        EXPECT_EQ(later.Deadline(), 32 * kMs);
        later.WakeAt(5 * kMs + 500'000);
        EXPECT_EQ(later.Deadline(), 6 * kMs);
        EXPECT_EQ(later.Periods(), 6);
        later.WakeAt(5 * kMs + 700'000); // a later wake changes nothing
        EXPECT_EQ(later.Deadline(), 6 * kMs);
    }
    // A clock that jumped by days counts as a bounded number of periods.
    platform::TickSchedule schedule(0, kMs);
    EXPECT_EQ(schedule.Next(std::int64_t(86'400'000) * 3 * kMs),
              platform::TickSchedule::kMaxPeriods);
}

} // namespace

namespace {

// A client that needs a walk only every `every` periods.
class Sparse : public platform::TickClient {
public:
    explicit Sparse(int every) : every_(every) { AddTickClient(this); }
    ~Sparse() override { RemoveTickClient(this); }
    void OnTick(int n) override {
        periods += n;
        ++walks;
    }
    int PeriodsUntilDue() const override { return every_; }
    std::atomic<int> periods{0};
    std::atomic<int> walks{0};

private:
    int every_;
};

// The thread sleeps until the nearest need: a client due every 20 periods is walked about
// once per 20 (each walk standing for them), and a client added while the thread sleeps
// for a minute wakes it at once.
TEST(TimerThreadTest, TheThreadSleepsUntilTheNearestNeedAndANewClientWakesIt) {
    {
        Sparse sparse(20);
        ASSERT_TRUE(WaitUntil([&] { return sparse.periods.load() >= 200; }));
        EXPECT_LE(sparse.walks.load(), sparse.periods.load() / 20 + 2);
    }
    Sparse idle(platform::TickSchedule::kMaxPeriods);
    ASSERT_TRUE(WaitUntil([&] { return idle.walks.load() >= 1; }));
    Registered counter;
    EXPECT_TRUE(TicksPass(counter, 3));
}

} // namespace
