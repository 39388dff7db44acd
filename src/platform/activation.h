#pragma once

// Bringing the program to the front, in place of restoring a minimised application window
// and setting it as the foreground window. The GUI layer binds the action (restore when
// minimised, raise, activate); until it does, and in programs without a GUI, asking for
// it does nothing. Bind and ask on the main thread.

#include <functional>

namespace platform {

// Binds the action; an empty function unbinds it.
void SetApplicationActivator(std::function<void()> activator);

// Runs the bound action; false when none is bound.
bool ActivateApplication();

} // namespace platform
