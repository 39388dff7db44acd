#pragma once

// Bringing a program's windows to the front when a second start of it asks for that (the
// single-instance guard's activation request): the open modal dialog or message box,
// else the given window, else the first visible window of the program, restored when
// minimised, raised and activated. A program whose windows are all hidden (a tray
// program after its splash) shows nothing new.
//
// Main thread only (the thread of the Qt application).

class QWidget;

namespace platform {

// Brings the window to the front as above; preferred may be nullptr. False when no
// window of the program is shown.
bool BringApplicationToFront(QWidget* preferred = nullptr);

} // namespace platform
