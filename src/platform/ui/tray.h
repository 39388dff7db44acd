#pragma once

// The notification-area icon, in place of the shell's tray icon calls: one icon with a
// picture, a tool tip and a menu, added to and removed from the desktop's notification
// area, reporting the mouse actions on it.
//
// Behind it is QSystemTrayIcon (a status-notifier item where the desktop offers one,
// else the older embedding). A desktop without any notification area is no error: the
// icon keeps its state (Added, picture, tip) and nothing is shown; nothing waits for an
// area to appear.
//
// The tip is cut to kMaxTipCharacters characters (whole characters, never half of one),
// as the shell's record holds no more. Picture and tip are handed to the desktop only when
// they change, so an animation that shows the same face again wakes no panel.
//
// Which of the two ways Qt talks to the desktop is decided once, when the icon is made, as
// Qt decides it: a status-notifier item when the session bus has a status-notifier watcher
// with a registered host, else the older embedding. A status-notifier panel reports a click
// as one activation and never a double click; that activation is reported as Activate
// (what a double click does elsewhere), while the embedding's single click stays
// LeftClick.
//
// Threads: main (GUI) thread only; OnMouse runs there.

#include <QImage>
#include <QSystemTrayIcon>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class QMenu;

namespace platform {

// The mouse actions the icon reports.
enum class TrayMouse {
    LeftClick,
    LeftDoubleClick,
    RightButtonDown, // the context request; the attached menu (if any) is shown by the area
    MiddleClick,
    // The primary activation of a panel that knows no double click (a status-notifier
    // host): stands for the double click.
    Activate,
};

// How the icon reaches the desktop.
enum class TrayBackend {
    None,           // no notification area in this session
    StatusNotifier, // a status-notifier item on the session bus
    Embedded,       // the older embedding into an X notification area
};

// The backend Qt uses for an icon made now.
TrayBackend DetectTrayBackend();
// What an activation reported by Qt means on that backend; false when it means nothing.
bool MapTrayActivation(QSystemTrayIcon::ActivationReason reason, TrayBackend backend,
                       TrayMouse& mouse);

class TrayIcon {
public:
    static constexpr std::size_t kMaxTipCharacters = 63;

    TrayIcon();
    // With the backend given (tests); the default detects it.
    explicit TrayIcon(TrayBackend backend);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Whether the desktop offers a notification area now.
    static bool Available();

    // A null picture shows no icon. A picture or tip equal to the shown one is not sent.
    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return picture_; }
    // UTF-8; stored cut to kMaxTipCharacters.
    void SetTip(const std::string& tip);
    const std::string& Tip() const { return tip_; }
    // The menu of the icon's context request; not owned, must outlive the icon or be
    // detached with nullptr.
    void SetMenu(QMenu* menu);
    QMenu* Menu() const { return menu_; }

    // Puts the icon into the notification area (or keeps it there); true when the icon is
    // added. Remove takes it out; true when it was added.
    bool Add();
    bool Remove();
    bool Added() const { return added_; }

    std::function<void(TrayMouse)> OnMouse;

    TrayBackend Backend() const { return backend_; }
    // How often a picture or tip was handed to the desktop.
    int Sends() const { return sends_; }
    // Reports an activation as Qt would (tests).
    void Activated(QSystemTrayIcon::ActivationReason reason);

    // The text a tip is cut to (public for tests).
    static std::string CutTip(const std::string& tip);

private:
    std::unique_ptr<QSystemTrayIcon> icon_;
    QImage picture_;
    std::string tip_;
    QMenu* menu_ = nullptr;
    bool added_ = false;
    TrayBackend backend_ = TrayBackend::None;
    int sends_ = 0;
};

} // namespace platform
