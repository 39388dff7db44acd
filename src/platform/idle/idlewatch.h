#pragma once

// The idle watcher's rule, apart from its sources and processes so that it can be tested
// alone. One decision per reading:
//   - the screen-saver switch off: the watcher ends (its autostart entry is gone too);
//   - an idle period begins whenever the idle time goes back (user input);
//   - a period is served by at most one start: once the idle time reaches the wait (or,
//     within kMaxHoldOffWaitMs after it, the time from which the source can tell a
//     hold-off), with a registered saver file and nothing holding a start off, the saver
//     is due; the caller lifts the session's blanker when asked, then starts the saver
//     unless one runs already (which serves the period as well);
//   - a held-off start is looked at again with each reading of the same period.
// Main thread only.

#include "platform/idle/idlesource.h"

#include <cstdint>
#include <string>

namespace idle {

struct IdleSettings {
    bool active = false;    // "ScreenSaveActive" is "1"
    bool saverFile = false; // "SCRNSAVE.EXE" names an existing file
    std::uint64_t waitMs = 600000;
};

enum class IdleAction {
    Wait,
    StartSaver, // lift the blanker when asked, then start unless a saver runs
    Exit,
};

struct IdleStep {
    IdleAction action = IdleAction::Wait;
    bool liftBlanker = false;
    // The hold-off that kept a due start back (empty otherwise).
    std::string heldOffBy;
};

class IdleDecider {
public:
    // How much longer than the wait a start may wait for the source to tell a hold-off.
    static constexpr std::uint64_t kMaxHoldOffWaitMs = 2000;

    IdleStep Next(const IdleSettings& settings, const IdleReading& reading);

private:
    bool served_ = false;
    std::uint64_t lastIdleMs_ = 0;
};

} // namespace idle
