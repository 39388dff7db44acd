#pragma once

// The idle start: the stand-in for the system's screen-saver service, which starts the
// registered saver once the session has been idle for the wait, is the idle watcher
// program "tolvar-idle" (src/platform/idle/), installed beside the programs. It runs in
// every session while the screen saver is switched on: its XDG autostart entry
// ($XDG_CONFIG_HOME/autostart/tolvar-idle.desktop) exists exactly while the switch is
// on, switching it on also starts the watcher for the running session (no new log-on is
// needed), and the watcher ends by itself once the switch is off.
//
// Free functions without state of their own; safe from any thread.

#include <string>

namespace platform {

// The watcher's program name, the name of its autostart entry and of its named lock (one
// watcher per session).
inline constexpr const char* kIdleWatcherName = "tolvar-idle";

// The watcher beside this program's own file; empty when that file is unknown.
std::string IdleWatcherPath();

// Follows the screen-saver switch: on writes the autostart entry and starts the watcher
// unless one runs; off removes the entry. A watcher that is missing or cannot be started
// is a line on stderr, never an error of the switch.
void SyncIdleStart(bool active);

} // namespace platform
