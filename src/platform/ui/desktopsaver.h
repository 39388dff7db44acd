#pragma once

// Whether the desktop's own screen saver or lock screen is on, as far as the session
// tells: the X server's screen-saver state (the MIT-SCREEN-SAVER extension, "on" while
// the server blanks or a saver program has it) and the session bus's
// org.freedesktop.ScreenSaver "GetActive" (desktops that lock or blank through their own
// service). The X answer is asked at each call (one round trip to the local server); the
// bus answer is asked without waiting, at most once a second, and the last one received
// is used, so a hung or missing service never holds the caller up.
//
// Uses the X connection of Qt's xcb platform and Qt's session-bus connection; without
// either that source says "off". Main thread only (the thread of the Qt application).

namespace platform {

// The state now.
bool IsDesktopScreenSaverOn();

// Binds IsDesktopScreenSaverOn as the core's desktop probe (screensaver.h), so that
// IsScreenSaverRunning sees the desktop's saver too.
void BindDesktopScreenSaverProbe();

} // namespace platform
