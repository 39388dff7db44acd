#include "saver/xmmtimer.h"
#include "support/temphome.h"

#include <QObject>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using tolvar::test::WaitUntil;

// Counts the walks of the timer thread and the periods they stand for, once started.
// Created before the timer it measures, so each walk counts it first.
class WalkCounter : private platform::TickClient {
public:
    WalkCounter() { platform::AddTickClient(this); }
    ~WalkCounter() override { platform::RemoveTickClient(this); }
    WalkCounter(const WalkCounter&) = delete;
    WalkCounter& operator=(const WalkCounter&) = delete;

    void Start() { counting = true; }
    // Waits until n more walks have passed.
    bool Pass(int n) {
        const int start = walks.load();
        return WaitUntil([&] { return walks.load() >= start + n; });
    }
    std::atomic<bool> counting{false};
    std::atomic<int> walks{0};
    std::atomic<int> periods{0};
    // The periods of the walk under way; read by the measured timer's events.
    std::atomic<int> walkPeriods{0};

private:
    void OnTick(int n) override {
        if (!counting) {
            return;
        }
        walkPeriods = n;
        periods += n;
        ++walks;
    }
};

TEST(xMMTimerTest, ConstructedDisabledWithItsDefaultsAndTheSharedThreadRunning) {
    QObject owner;
    ASSERT_FALSE(xMMTimer::Running());
    {
        xMMTimer timer(&owner);
        EXPECT_TRUE(xMMTimer::Running());
        EXPECT_EQ(timer.Owner(), &owner);
        EXPECT_FALSE(timer.Enabled());
        EXPECT_EQ(timer.Interval(), 100);
        EXPECT_EQ(timer.Countdown(), 100);
        EXPECT_EQ(timer.SecondPhaseLength(), 51);
        EXPECT_EQ(timer.PhaseCountdown(), 100);
        EXPECT_EQ(xMMTimer::Period(), 1);
    }
    EXPECT_FALSE(xMMTimer::Running());
}

TEST(xMMTimerTest, IntervalAndSecondPhaseNeverFallBelowThePeriod) {
    struct Case {
        int ms;
        int interval;
        int secondPhase;
    };
    const Case intervals[] = {{20, 20, 11}, {7, 7, 4}, {1, 1, 1}, {0, 1, 1}, {-5, 1, 1}};
    xMMTimer timer(nullptr);
    for (const Case& c : intervals) {
        timer.SetInterval(c.ms);
        EXPECT_EQ(timer.Interval(), c.interval) << c.ms;
        EXPECT_EQ(timer.Countdown(), c.interval) << c.ms;
        EXPECT_EQ(timer.SecondPhaseLength(), c.secondPhase) << c.ms;
    }
    const std::pair<int, int> phases[] = {{30, 30}, {1, 1}, {0, 1}, {-3, 1}};
    for (const auto& [ms, length] : phases) {
        timer.SetSecondPhase(ms);
        EXPECT_EQ(timer.SecondPhaseLength(), length) << ms;
        EXPECT_EQ(timer.Interval(), 1) << ms; // the interval is left alone
    }
}

TEST(xMMTimerTest, OnTimerComesEveryIntervalTicksWithTheOwner) {
    WalkCounter counter;
    QObject owner;
    xMMTimer timer(&owner);
    timer.SetInterval(20);
    // Periods counted when OnTimer came, and how many of them that walk stood for;
    // written on the timer thread.
    std::vector<std::pair<int, int>> at;
    std::atomic<int> calls{0};
    timer.SetOnTimer([&](QObject* sender) {
        EXPECT_EQ(sender, &owner);
        at.emplace_back(counter.periods.load(), counter.walkPeriods.load());
        ++calls;
    });
    {
        // Both start counting on the same walk.
        const auto lock = platform::LockTickList();
        counter.Start();
        timer.SetEnabled(true);
    }
    ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 3; }));
    timer.SetEnabled(false);
    ASSERT_GE(at.size(), 3u);
    // Each OnTimer comes on the walk that reaches a multiple of 20 periods (a busy machine
    // may make one walk stand for several), never on one that falls short of it, and
    // each in an interval of its own.
    int lastDue = 0;
    for (const auto& [periods, walk] : at) {
        const int due = periods / 20 * 20;
        EXPECT_GT(due, periods - walk) << periods;
        EXPECT_GT(due, lastDue) << periods;
        lastDue = due;
    }

    // Disabled, it does not count down.
    const int countdown = timer.Countdown();
    const int seen = calls.load();
    ASSERT_TRUE(counter.Pass(30));
    EXPECT_EQ(timer.Countdown(), countdown);
    EXPECT_EQ(calls.load(), seen);
}

TEST(xMMTimerTest, TheSecondPhaseFollowsEachOnTimerAndEndsAtZero) {
    xMMTimer timer(nullptr);
    timer.SetInterval(5);
    timer.SetSecondPhase(3);
    std::string trace; // per walk: "T" for OnTimer, "S" for OnSecondPhase
    int walk = 0;
    timer.SetOnTimer([&](QObject*) { trace += std::to_string(walk) + "T "; });
    timer.SetOnSecondPhase([&](QObject*) { trace += std::to_string(walk) + "S "; });
    {
        // Driven by hand: holding the lock keeps the thread's own walks out.
        const auto lock = platform::LockTickList();
        timer.SetEnabled(true);
        for (walk = 1; walk <= 13; ++walk) {
            timer.Advance(1);
        }
        timer.SetEnabled(false);
    }
    // Until the first OnTimer the phase counts down from its initial 100; each OnTimer
    // restarts it at SecondPhaseLength, giving SecondPhaseLength - 1 calls.
    EXPECT_EQ(trace, "1S 2S 3S 4S 5T 5S 6S 10T 10S 11S ");
    // Held at 0 after the phase rather than counting on below it.
    EXPECT_EQ(timer.PhaseCountdown(), 0);
}

// The count follows the periods that passed, not the walks: a walk that comes late (the
// previous event painted for 3 ms, or the thread was kept from running) does not push the
// following deadlines back, and intervals missed entirely are dropped, not made up.
TEST(xMMTimerTest, OnTimerFollowsTheDeadlinesOfElapsedPeriods) {
    struct Case {
        const char* name;
        std::vector<int> walks; // periods each walk stands for
        std::vector<int> fired; // elapsed periods at each OnTimer
    };
    const auto ones = [](int n) { return std::vector<int>(std::size_t(n), 1); };
    const auto join = [](const std::vector<std::vector<int>>& parts) {
        std::vector<int> all;
        for (const auto& part : parts) {
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    };
    const Case cases[] = {
        {"on time", ones(96), {32, 64, 96}},
        // Each OnTimer's walk is followed by one standing for 4 periods (3 ms of painting).
        {"painting 3 ms", join({ones(32), {4}, ones(28), {4}, ones(28)}), {32, 64, 96}},
        {"late walk", join({ones(30), {5}, ones(29)}), {35, 64}},
        // A stall of 70 periods: one OnTimer for it, the next on the grid again.
        {"stall", join({ones(10), {70}, ones(16)}), {80, 96}},
    };
    for (const Case& c : cases) {
        xMMTimer timer(nullptr);
        timer.SetInterval(32);
        int elapsed = 0;
        std::vector<int> fired;
        timer.SetOnTimer([&](QObject*) { fired.push_back(elapsed); });
        const auto lock = platform::LockTickList();
        timer.SetEnabled(true);
        for (int periods : c.walks) {
            elapsed += periods;
            timer.Advance(periods);
        }
        EXPECT_EQ(fired, c.fired) << c.name;
    }
}

TEST(xMMTimerTest, AClearedEventIsNeverCalledAgain) {
    WalkCounter counter;
    xMMTimer timer(nullptr);
    timer.SetInterval(1);
    std::atomic<int> calls{0};
    timer.SetOnTimer([&](QObject*) { ++calls; });
    counter.Start();
    timer.SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 3; }));
    timer.SetOnTimer(nullptr);
    const int seen = calls.load();
    ASSERT_TRUE(counter.Pass(10));
    EXPECT_EQ(calls.load(), seen);
    EXPECT_TRUE(timer.Enabled());
}

// Destroyed from another thread while its event runs: the destructor waits for the
// event, and nothing of the timer is touched afterwards (the sanitizer would see it).
TEST(xMMTimerTest, ATimerDestroyedWhileItsEventRunsWaitsForIt) {
    WalkCounter counter;
    counter.Start();
    std::atomic<bool> entered{false};
    std::atomic<bool> destroying{false};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> destroyedDuringEvent{false};
    std::atomic<bool> calledAfterwards{false};
    auto* timer = new xMMTimer(nullptr);
    timer->SetInterval(1);
    timer->SetOnTimer([&](QObject*) {
        if (destroyed.load()) {
            calledAfterwards = true;
        }
        if (entered.exchange(true)) {
            return;
        }
        WaitUntil([&] { return destroying.load(); });
        if (WaitUntil([&] { return destroyed.load(); }, std::chrono::milliseconds(200))) {
            destroyedDuringEvent = true;
        }
    });
    timer->SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    std::thread destroyer([&] {
        destroying = true;
        delete timer;
        destroyed = true;
    });
    destroyer.join();
    EXPECT_FALSE(destroyedDuringEvent.load());
    ASSERT_TRUE(counter.Pass(10));
    EXPECT_FALSE(calledAfterwards.load());
}

TEST(xMMTimerTest, TheLastTimerStopsTheSharedThreadAndANewOneStartsIt) {
    auto first = std::make_unique<xMMTimer>(nullptr);
    auto second = std::make_unique<xMMTimer>(nullptr);
    first.reset();
    EXPECT_TRUE(xMMTimer::Running());
    second.reset();
    EXPECT_FALSE(xMMTimer::Running());

    WalkCounter again;
    EXPECT_TRUE(xMMTimer::Running());
    again.Start();
    EXPECT_TRUE(again.Pass(3));
}

} // namespace
