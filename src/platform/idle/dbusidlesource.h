#pragma once

// The idle source of a desktop that offers an idle service on the session bus (Wayland
// sessions, where no X server sees the input, and desktops that keep their own idle
// state on X11 too), through libdbus:
//   GNOME    org.gnome.Mutter.IdleMonitor GetIdletime (milliseconds); a start is held
//            off while org.gnome.SessionManager IsInhibited(8, idle) or
//            org.gnome.ScreenSaver GetActive (its screen saver or lock screen) is true
//   KDE      org.freedesktop.ScreenSaver GetSessionIdleTime (milliseconds, as KDE
//            answers it); held off while org.freedesktop.PowerManagement.Inhibit
//            HasInhibit or org.freedesktop.ScreenSaver GetActive is true. Only where
//            $XDG_CURRENT_DESKTOP names KDE: other desktops answer the same call in
//            seconds or with 0, which would never reach the wait.
// A hold-off query that fails counts as no hold-off. Every call waits at most
// kCallTimeoutMs and never activates a service that is not running. Owns its private bus
// connection; main thread only. Not copyable.

#include "platform/idle/idlesource.h"

#include <dbus/dbus.h>
#include <memory>

namespace idle {

class DBusIdleSource : public IdleSource {
public:
    static constexpr int kCallTimeoutMs = 2000;

    // The first desktop idle service that answers on the session bus; nullptr when there
    // is no bus or none answers.
    static std::unique_ptr<DBusIdleSource> Open();

    std::string Name() const override;
    std::optional<IdleReading> Read() override;

    // The service's calls: the idle time and the hold-off queries.
    struct Call {
        const char* service;
        const char* path;
        const char* interface;
        const char* method;
        bool withIdleFlag; // IsInhibited takes the flag "idle" (8)
        const char* heldOffText;
    };
    struct Desktop {
        const char* name; // in $XDG_CURRENT_DESKTOP; nullptr: any desktop
        Call idle;
        Call holdOffs[2];
    };

private:
    struct ConnectionCloser {
        void operator()(DBusConnection* c) const {
            dbus_connection_close(c);
            dbus_connection_unref(c);
        }
    };

    DBusIdleSource(std::unique_ptr<DBusConnection, ConnectionCloser> connection,
                   const Desktop& desktop)
        : connection_(std::move(connection)), desktop_(&desktop) {}

    std::unique_ptr<DBusConnection, ConnectionCloser> connection_;
    const Desktop* desktop_;
};

} // namespace idle
