#include "platform/idle/idlewatch.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using idle::IdleAction;
using idle::IdleDecider;
using idle::IdleReading;
using idle::IdleSettings;

IdleSettings On(std::uint64_t waitMs = 2000) {
    IdleSettings s;
    s.active = true;
    s.saverFile = true;
    s.waitMs = waitMs;
    return s;
}

IdleReading Idle(std::uint64_t ms) {
    IdleReading r;
    r.idleMs = ms;
    return r;
}

// One reading after another; the letters say what each decision was: '.' wait,
// 'S' start, 'L' start after lifting the blanker, 'H' held off, 'X' exit.
std::string Decisions(IdleDecider& decider,
                      const std::vector<std::pair<IdleSettings, IdleReading>>& seq) {
    std::string out;
    for (const auto& [settings, reading] : seq) {
        const idle::IdleStep step = decider.Next(settings, reading);
        switch (step.action) {
        case IdleAction::Exit:
            out += 'X';
            break;
        case IdleAction::StartSaver:
            out += step.liftBlanker ? 'L' : 'S';
            break;
        case IdleAction::Wait:
            out += step.heldOffBy.empty() ? '.' : 'H';
            break;
        }
    }
    return out;
}

TEST(IdleDecider, StartsOncePerIdlePeriod) {
    IdleDecider d;
    // Reaches the wait, keeps idling (no second start), input, idles again: one more.
    EXPECT_EQ(Decisions(d, {{On(), Idle(500)},
                            {On(), Idle(1999)},
                            {On(), Idle(2000)},
                            {On(), Idle(3000)},
                            {On(), Idle(60000)},
                            {On(), Idle(10)},
                            {On(), Idle(1500)},
                            {On(), Idle(2100)}}),
              "..S...."
              "S");
}

TEST(IdleDecider, InputEverySecondNeverReachesTheWait) {
    IdleDecider d;
    std::vector<std::pair<IdleSettings, IdleReading>> seq;
    for (int i = 0; i < 20; ++i) {
        seq.push_back({On(), Idle(static_cast<std::uint64_t>(i % 2 == 0 ? 300 : 1000))});
    }
    EXPECT_EQ(Decisions(d, seq), std::string(20, '.'));
}

TEST(IdleDecider, SwitchOffEndsTheWatcher) {
    IdleDecider d;
    IdleSettings off = On();
    off.active = false;
    EXPECT_EQ(Decisions(d, {{On(), Idle(100)}, {off, Idle(200)}}), ".X");
}

TEST(IdleDecider, NoSaverFileNoStartUntilOneIsRegistered) {
    IdleDecider d;
    IdleSettings missing = On();
    missing.saverFile = false;
    // The file appearing in the same idle period still gets its start.
    EXPECT_EQ(Decisions(d, {{missing, Idle(5000)}, {missing, Idle(6000)}, {On(), Idle(7000)}}),
              "..S");
}

TEST(IdleDecider, HoldOffIsLookedAtAgainInTheSamePeriod) {
    IdleDecider d;
    IdleReading held = Idle(2500);
    held.heldOffBy = "the X screen saver is suspended";
    IdleReading heldLater = held;
    heldLater.idleMs = 4000;
    // Released while the session stays idle: the start comes then, once.
    EXPECT_EQ(
        Decisions(d, {{On(), held}, {On(), heldLater}, {On(), Idle(5000)}, {On(), Idle(6000)}}),
        "HHS.");
}

TEST(IdleDecider, WaitsForTheSourceToTellAHoldOffJustPastTheWait) {
    // The X server's own timeout of 1 s shows a suspension from 2.5 s on: a wait of 2 s
    // starts then, not at 2 s, so a suspended timer is never taken for an idle session.
    IdleDecider d;
    auto at = [](std::uint64_t ms, std::uint64_t knownAfter, bool blanker) {
        IdleReading r = Idle(ms);
        r.heldOffKnownAfterMs = knownAfter;
        r.blankerOn = blanker;
        return r;
    };
    EXPECT_EQ(Decisions(d, {{On(), at(2000, 2500, true)},
                            {On(), at(2400, 2500, true)},
                            {On(), at(2600, 2500, true)}}),
              "..L");

    // A server timeout far past the wait is not waited for.
    IdleDecider late;
    EXPECT_EQ(Decisions(late, {{On(), at(2000, 601500, false)}}), "S");
}

TEST(IdleDecider, ChangedWaitCountsAtOnce) {
    IdleDecider d;
    EXPECT_EQ(Decisions(d, {{On(600000), Idle(5000)}, {On(4000), Idle(5100)}}), ".S");
}

} // namespace
