#pragma once

// The idle source of an X session: the X server's screen-saver extension (MIT-SCREEN-SAVER)
// through libxcb. The idle time is the server's time since the last user input. A start
// is held off while the server's screen saver is switched off (state Disabled: timeout 0,
// as older video players and "xset s off" set it) and while a client suspends it
// (XScreenSaverSuspend, as video players do). The server does not report a suspension;
// it shows only in its own timer, which does not fire while suspended: when the server's
// timeout has passed by a margin and its saver is still off, it is suspended. The server's
// own blanker (state On) gives way to the registered saver. Owns its X connection; main
// thread only. Not copyable.

#include "platform/idle/idlesource.h"

#include <memory>
#include <xcb/xcb.h>

namespace idle {

class XIdleSource : public IdleSource {
public:
    // How long past the server's timeout its saver must be on unless it is suspended.
    static constexpr std::uint64_t kTimerMarginMs = 1500;

    // The source for $DISPLAY; nullptr when it is unset, cannot be reached or lacks the
    // extension.
    static std::unique_ptr<XIdleSource> Open();

    std::string Name() const override;
    std::optional<IdleReading> Read() override;
    void LiftBlanker() override;

private:
    struct ConnectionCloser {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };

    XIdleSource(std::unique_ptr<xcb_connection_t, ConnectionCloser> connection, xcb_window_t root)
        : connection_(std::move(connection)), root_(root) {}

    std::unique_ptr<xcb_connection_t, ConnectionCloser> connection_;
    xcb_window_t root_;
};

} // namespace idle
