#pragma once

// Message boxes, in place of the application's message box: one modal box with a
// caption, a text, an icon and an OK button, optionally after a beep.
//
// A handler bound with SetMessageBoxHandler replaces the box (tests read caption and text
// through it; nothing is shown). Without a handler the box is a QMessageBox; a process
// without an application object gets a QApplication made here, which lives until the
// process ends. Where no window can be shown (no display and no Qt platform named, or an
// application object without widgets), the box is written to standard error instead.
//
// Main thread only.

#include <functional>
#include <string>

namespace platform {

enum class MessageBoxIcon { None, Information, Warning, Stop };

struct MessageBoxRequest {
    std::string caption;
    std::string text;
    MessageBoxIcon icon = MessageBoxIcon::None;
    bool beep = false; // sound the system beep before the box
};

using MessageBoxHandler = std::function<void(const MessageBoxRequest&)>;

// Binds what shows the boxes; an empty function unbinds it.
void SetMessageBoxHandler(MessageBoxHandler handler);

// Shows the box and returns when it is closed.
void ShowMessageBox(const MessageBoxRequest& request);

// Whether this process can show a window: Qt's platform is named (QT_QPA_PLATFORM), or
// a display is there (DISPLAY or WAYLAND_DISPLAY).
bool CanShowWindows();

} // namespace platform
