#pragma once

// Whether a program can reach its display, asked before the Qt application is made: Qt
// ends the process with an abort when its platform cannot start, so a dead or missing
// display is found here first and reported in one line.
//
// What is checked follows the platform Qt would choose: a platform named in
// QT_QPA_PLATFORM that needs no display (offscreen, minimal, ...) is fine; "xcb", or no
// name without a Wayland display, needs DISPLAY to name an X server that accepts a
// connection; "wayland", or no name with WAYLAND_DISPLAY set, needs the compositor's
// socket to accept one.
//
// Free functions without state; any thread.

#include <optional>
#include <string>

namespace platform {

// Why no window can be shown (one line, English, for the log and standard error);
// nullopt when the display answers.
std::optional<std::string> DisplayProblem();

} // namespace platform
