#pragma once

// A window of another program that this process paints into, named by its native window
// number: an X11 window id on Qt's xcb platform. The saver's preview paints into the
// small window that the display settings hand over on the command line; the run mode
// puts its whole form into the window of a screen-saver host (Embed).
//
// The foreign window is wrapped with QWindow::fromWinId and gets one child window of our
// own, as large as its client area and transparent for input, which we paint through a
// QBackingStore: the owner's own painting cannot wipe it, and its depth and visual are
// ours. Whether the window still exists and is viewable is asked of the X server at each
// call (with a checked request: a window that went away is an answer, not a fault), since
// the server tells another client nothing when a foreign window is hidden or destroyed.
//
// On platforms without native window numbers (offscreen, wayland) nothing can be opened.
// The few X client calls are taken from the X client library that Qt's xcb platform
// already uses in this process, so this piece links nothing of its own.
//
// Owns its wrapper, child window and backing store. Main thread only (the thread of the
// Qt application, which must exist).

#include <QImage>
#include <QSize>
#include <cstdint>
#include <memory>

class QBackingStore;
class QWidget;
class QWindow;

namespace platform {

enum class ForeignWindowState {
    Gone,    // the number names no window (any more)
    Hidden,  // the window or one of its ancestors is not mapped
    Visible, // mapped and viewable
};

class ForeignWindow {
public:
    // Whether the application's platform names windows by X11 ids and the X calls are
    // at hand. False without an application object.
    static bool PlatformHasNativeIds();

    // Opens the window with that number: nullptr when the platform has no native ids,
    // the number names no window, or the window takes no drawing (an input-only window).
    static std::unique_ptr<ForeignWindow> Open(std::uint64_t id);

    // The root window of the application's screen; 0 without native ids.
    static std::uint64_t RootWindow();
    // The window a screen-saver host or desktop put over the root window and marked as
    // the virtual root (the "__SWM_VROOT" property on a child of the root); 0 when there
    // is none.
    static std::uint64_t VirtualRootWindow();

    ForeignWindow(const ForeignWindow&) = delete;
    ForeignWindow& operator=(const ForeignWindow&) = delete;
    ~ForeignWindow();

    std::uint64_t Id() const { return id_; }

    // Asks the X server now.
    ForeignWindowState State() const;
    // The size of the window's client area now; empty when it is gone.
    QSize ClientSize() const;

    // Draws the picture with its top-left corner at the client area's, on the child
    // window (made or resized to the picture's size). False when nothing was drawn: the
    // window is gone, or the child is not on screen yet (not exposed).
    bool Paint(const QImage& picture);

    // Makes the widget's own native window a child of this window, at its top-left
    // corner and as large as its client area, and shows it: a whole widget tree drawn by
    // Qt as usual, inside another program's window. The widget must go before this
    // object (the child native window belongs to the wrapper). False when the window is
    // gone.
    bool Embed(QWidget& widget);

private:
    ForeignWindow() = default;

    std::uint64_t id_ = 0;
    std::unique_ptr<QWindow> foreign_;
    QWindow* surface_ = nullptr; // child of foreign_, deleted with it
    std::unique_ptr<QBackingStore> store_;
};

} // namespace platform
