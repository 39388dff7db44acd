#pragma once

// Where the idle watcher learns how long the session has been idle and whether a start
// is held off. One source per run, chosen at start (ChooseIdleSource in main.cpp): the
// desktop's idle service on the session bus, else the X server's screen-saver extension.
// Main thread only.

#include <cstdint>
#include <optional>
#include <string>

namespace idle {

struct IdleReading {
    std::uint64_t idleMs = 0;
    // Why no saver may start now (a video player's suspension, the desktop's inhibitor,
    // its own screen saver or lock screen); empty when nothing holds a start off.
    std::string heldOffBy;
    // The session's own blanker (the X server's screen saver) shows now; it gives way to
    // the registered saver (LiftBlanker).
    bool blankerOn = false;
    // The idle time from which the source can tell a hold-off that it only sees
    // indirectly (a suspended X server timer shows only once it failed to fire); 0 when
    // every hold-off is seen at once.
    std::uint64_t heldOffKnownAfterMs = 0;
};

class IdleSource {
public:
    virtual ~IdleSource() = default;

    // How the log names the source.
    virtual std::string Name() const = 0;
    // The reading now; nullopt when the source is gone (the X server or the bus ended,
    // which ends the session).
    virtual std::optional<IdleReading> Read() = 0;
    // Ends the session's own blanker so that the saver started next is seen.
    virtual void LiftBlanker() {}
};

} // namespace idle
