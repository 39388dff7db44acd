#pragma once

// The control program's notification-area icon and what decides its face.
//
// TNAIcon is the program's one tray icon: the picture to show (not owned), the tool tip,
// whether it is in the notification area, and the callback that receives the mouse
// actions on it. Update adds or refreshes it, Remove takes it out; the tip shown is cut
// to 63 characters by the tray piece.
//
// Beside it: the application-window adjustments (no task-bar button, no minimise box, no
// close item), the pictures of the five resource icons and the four menu images (drawn
// here, there are no resource files), and the choice of the tray face for the idle and
// the transfer animation.
//
// Threads: main (GUI) thread only.

#include "platform/ui/tray.h"

#include <QImage>
#include <array>
#include <cstdint>
#include <functional>
#include <string>

class QWidget;

class TNAIcon {
public:
    // The callback message of the notification record.
    static constexpr std::uint32_t kCallbackMessage = 0x4A0;
    using Callback = std::function<void(platform::TrayMouse)>;

    TNAIcon();
    ~TNAIcon();
    TNAIcon(const TNAIcon&) = delete;
    TNAIcon& operator=(const TNAIcon&) = delete;

    // Adds the icon when it is not in the area, else refreshes its picture and tip.
    bool Update();
    // Takes the icon out of the area.
    bool Remove();

    // Stores the pointer only; the next Update shows it. nullptr: no picture.
    void SetIcon(const QImage* icon) { icon_ = icon; }
    const QImage* Icon() const { return icon_; }
    // Update when added, else Remove.
    bool Refresh();
    void SetTip(const std::string& tip);
    const std::string& GetTip() const { return tip_; }
    bool Added() const { return added_; }

    void SetCallback(Callback callback) { callback_ = std::move(callback); }
    // The tray piece beneath (tests read what is shown; the main form attaches its menu).
    platform::TrayIcon& Tray() { return tray_; }

private:
    const QImage* icon_ = nullptr;
    platform::TrayIcon tray_;
    bool added_ = false;
    std::string tip_;
    Callback callback_;
};

// The application-window functions, on a top-level widget: true hides the task-bar
// button (a tool window), removes the minimise box, greys the close item; false undoes
// each. A visible window is hidden while its flags change and shown again.
void HideFromTaskbar(QWidget& window, bool hide);
void SetMinimizeBox(QWidget& window, bool remove);
void EnableCloseMenu(QWidget& window, bool grey);

// The five resource icons (16 x 16 pictures drawn in code).
enum class ResourceIcon { Main, Messages, MessagesTransfer, Transfer, NoTransfer };
QImage DrawResourceIcon(ResourceIcon which);
// The menu images 0 to 3: open the saver, configure, synchronise, close.
QImage DrawMenuImage(int index);

// The twelve face slots: face (no_news, news, mnews) x image (default, default_blink,
// sync, sync_blink).
enum class Face { NoNews = 0, News = 1, MNews = 2 };
enum class FaceImage { Default = 0, DefaultBlink = 1, Sync = 2, SyncBlink = 3 };
constexpr int FaceSlot(Face face, FaceImage image) {
    return static_cast<int>(face) * 4 + static_cast<int>(image);
}

// What the tray shows: a layout face slot or a resource icon.
struct TrayChoice {
    bool layoutFace = false;
    int slot = 0;                               // layoutFace
    ResourceIcon resource = ResourceIcon::Main; // !layoutFace
    bool operator==(const TrayChoice&) const = default;
};

struct TrayState {
    std::array<bool, 12> loaded{}; // which face slots hold a picture
    bool useLayoutFaces = false;
    bool newMessages = false;
    bool mandatoryNews = false;
    bool blinkPhase = false;
    bool transferSubPhase = false;
};

// The face of the idle animation and of the transfer animation.
TrayChoice ChooseIdleIcon(const TrayState& state);
TrayChoice ChooseTransferIcon(const TrayState& state);
