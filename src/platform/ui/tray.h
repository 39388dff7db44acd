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
// as the shell's record holds no more.
//
// Threads: main (GUI) thread only; OnMouse runs there.

#include <QImage>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class QMenu;
class QSystemTrayIcon;

namespace platform {

// The mouse actions the icon reports.
enum class TrayMouse {
    LeftClick,
    LeftDoubleClick,
    RightButtonDown, // the context request; the attached menu (if any) is shown by the area
    MiddleClick,
};

class TrayIcon {
public:
    static constexpr std::size_t kMaxTipCharacters = 63;

    TrayIcon();
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Whether the desktop offers a notification area now.
    static bool Available();

    // A null picture shows no icon.
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

    // The text a tip is cut to (public for tests).
    static std::string CutTip(const std::string& tip);

private:
    std::unique_ptr<QSystemTrayIcon> icon_;
    QImage picture_;
    std::string tip_;
    QMenu* menu_ = nullptr;
    bool added_ = false;
};

} // namespace platform
