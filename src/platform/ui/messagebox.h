#pragma once

// Message boxes, in place of the application's message box: one modal box with a
// caption, a text, an icon and an OK button (or a question's two buttons), optionally
// after a beep. The standard buttons are German ("OK", "Abbrechen", "Ja", "Nein") in every
// box and dialog of the programs, set here explicitly: a German system catalogue of the
// toolkit may be missing.
//
// Boxes and dialogs open over their owner: a program registers the window that covers
// the screen (the running saver) with SetDialogOwner; a box without a parent of its own
// is then that window's child, and PrepareDialog keeps every dialog over a stay-on-top
// owner stay-on-top as well, so nothing opens behind the saver while it still blocks it.
// A dialog with an owner is transient for it and so gets no task-bar button.
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

class QDialogButtonBox;
class QMessageBox;
class QWidget;

namespace platform {

enum class MessageBoxIcon { None, Information, Warning, Stop, Question };
enum class MessageBoxButtons { Ok, OkCancel, YesNo };
enum class MessageBoxAnswer { Ok, Cancel, Yes, No };

struct MessageBoxRequest {
    std::string caption;
    std::string text;
    MessageBoxIcon icon = MessageBoxIcon::None;
    bool beep = false; // sound the system beep before the box
    MessageBoxButtons buttons = MessageBoxButtons::Ok;
};

using MessageBoxHandler = std::function<void(const MessageBoxRequest&)>;

// Binds what shows the boxes; an empty function unbinds it.
void SetMessageBoxHandler(MessageBoxHandler handler);

// Shows the box and returns when it is closed.
void ShowMessageBox(const MessageBoxRequest& request);

// Shows the box over parent (nullptr: the dialog owner; stay-on-top when aboveAll) and
// returns the button pressed;
// Esc and the close box answer Cancel or No. A bound handler stands for a user who takes
// the first button (OK, Yes). Without any window to show it on, the answer is Cancel or
// No (the text goes to standard error).
MessageBoxAnswer AskMessageBox(const MessageBoxRequest& request, QWidget* parent = nullptr,
                               bool aboveAll = false);

// The question before a visible dial-up of the connection name ("Ja" dials); over parent,
// stay-on-top when aboveAll. The prompt both programs bind for the dial-up layer.
bool AskDialUp(QWidget* parent, const std::string& connectionName, bool aboveAll = false);

// Binds AskDialUp over parent as the dial-up layer's prompt (SetDialPrompt) for its
// lifetime; aboveAll, when given, is asked at each prompt whether the box must stay
// above another program's covering window. Not copyable.
class DialPromptBinding {
public:
    explicit DialPromptBinding(QWidget* parent, std::function<bool()> aboveAll = {});
    ~DialPromptBinding();
    DialPromptBinding(const DialPromptBinding&) = delete;
    DialPromptBinding& operator=(const DialPromptBinding&) = delete;
};

// The German texts of the standard buttons a box or button row holds.
void SetGermanButtonTexts(QMessageBox& box);
void SetGermanButtonTexts(QDialogButtonBox& buttons);

// The window boxes and dialogs open over; nullptr for none. Not owned: the owner clears
// it before it goes.
void SetDialogOwner(QWidget* owner);
QWidget* DialogOwner();
// Call before a dialog is shown: without a parent it becomes the owner's child (kept as a
// dialog window); it is made stay-on-top when its parent chain holds a stay-on-top window
// or when aboveAll is set (a box of one program over another program's covering window).
void PrepareDialog(QWidget& dialog, bool aboveAll = false);

// Whether this process can show a window: Qt's platform is named (QT_QPA_PLATFORM), or
// a display is named (DISPLAY or WAYLAND_DISPLAY); without an application yet, the
// display must also answer (DisplayProblem).
bool CanShowWindows();

} // namespace platform
