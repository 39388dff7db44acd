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

// A timer at the period that counts every walk of the timer thread. Created before the
// timer it measures, so each walk counts it first.
class WalkCounter {
public:
    WalkCounter() : timer(nullptr) {
        timer.SetInterval(0);
        timer.SetOnTimer([this](QObject*) { ++walks; });
    }
    // Waits until n more walks have passed.
    bool Pass(int n) {
        const int start = walks.load();
        return WaitUntil([&] { return walks.load() >= start + n; });
    }
    xMMTimer timer;
    std::atomic<int> walks{0};
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
    std::vector<int> at; // walks counted when OnTimer came; written on the timer thread
    std::atomic<int> calls{0};
    timer.SetOnTimer([&](QObject* sender) {
        EXPECT_EQ(sender, &owner);
        at.push_back(counter.walks.load());
        ++calls;
    });
    {
        // Both start counting on the same walk.
        const auto lock = platform::LockTickList();
        counter.walks = 0;
        counter.timer.SetEnabled(true);
        timer.SetEnabled(true);
    }
    ASSERT_TRUE(WaitUntil([&] { return calls.load() >= 3; }));
    timer.SetEnabled(false);
    ASSERT_GE(at.size(), 3u);
    EXPECT_EQ(at[0], 20);
    EXPECT_EQ(at[1], 40);
    EXPECT_EQ(at[2], 60);

    // Disabled, it does not count down.
    const int countdown = timer.Countdown();
    const int seen = calls.load();
    ASSERT_TRUE(counter.Pass(30));
    EXPECT_EQ(timer.Countdown(), countdown);
    EXPECT_EQ(calls.load(), seen);
}

TEST(xMMTimerTest, TheSecondPhaseFollowsEachOnTimerAndEndsAtZero) {
    WalkCounter counter;
    xMMTimer timer(nullptr);
    timer.SetInterval(5);
    timer.SetSecondPhase(3);
    std::string trace; // per walk: "T" for OnTimer, "S" for OnSecondPhase
    std::atomic<int> timerCalls{0};
    timer.SetOnTimer([&](QObject*) {
        trace += std::to_string(counter.walks.load()) + "T ";
        ++timerCalls;
    });
    timer.SetOnSecondPhase([&](QObject*) { trace += std::to_string(counter.walks.load()) + "S "; });
    // Stopped on walk 14, before the third OnTimer.
    std::atomic<bool> stopped{false};
    {
        const auto lock = platform::LockTickList();
        counter.walks = 0;
        counter.timer.SetOnTimer([&](QObject*) {
            if (++counter.walks == 14) {
                timer.SetEnabled(false);
                stopped = true;
            }
        });
        counter.timer.SetEnabled(true);
        timer.SetEnabled(true);
    }
    ASSERT_TRUE(WaitUntil([&] { return stopped.load(); }));
    // Until the first OnTimer the phase counts down from its initial 100; each OnTimer
    // restarts it at SecondPhaseLength, giving SecondPhaseLength - 1 calls.
    EXPECT_EQ(trace, "1S 2S 3S 4S 5T 5S 6S 10T 10S 11S ");
    // Held at 0 after the phase rather than counting on below it.
    EXPECT_EQ(timer.PhaseCountdown(), 0);
}

TEST(xMMTimerTest, AClearedEventIsNeverCalledAgain) {
    WalkCounter counter;
    xMMTimer timer(nullptr);
    timer.SetInterval(1);
    std::atomic<int> calls{0};
    timer.SetOnTimer([&](QObject*) { ++calls; });
    counter.timer.SetEnabled(true);
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
    counter.timer.SetEnabled(true);
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
    again.timer.SetEnabled(true);
    EXPECT_TRUE(again.Pass(3));
}

} // namespace
