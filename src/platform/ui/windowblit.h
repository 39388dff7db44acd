#pragma once

// Putting a picture straight into a widget's place in its X window, from any thread, in
// place of the widget's repaint through the window system: no event for the GUI thread,
// no paint pass, no backing store; one image request on Qt's own X connection (the
// requests of one connection are handled in order, so a put never overtakes what Qt did
// to the window before it).
//
// The GUI thread tells where the widget is shown (Place: its window and its rectangle
// there, cut to its ancestors) and when it is not (Hide); Put draws nothing while the
// widget is hidden or its window unknown. Other windows over it clip the put as they
// clip any drawing; the widget's own repaints (an exposure) still come through Qt.
//
// Only on Qt's xcb platform and for a window of 24-bit TrueColor pixels held as 32-bit
// words in the order of QImage::Format_RGB32 (what X servers on little-endian machines
// give): Create returns null elsewhere, and the caller repaints as usual.
//
// Owns its graphics context on the X server. Threads: Create, Place, Hide and
// destruction on the GUI thread; Put on any one thread at a time, never after the
// widget's window is destroyed (its owner stops putting first).

#include <QImage>
#include <QRect>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class QWidget;
struct xcb_connection_t;

namespace platform {

class WindowBlit {
public:
    // Null when the application does not run on the xcb platform.
    static std::unique_ptr<WindowBlit> Create();
    ~WindowBlit();
    WindowBlit(const WindowBlit&) = delete;
    WindowBlit& operator=(const WindowBlit&) = delete;

    // The widget is shown where it is now. A window whose pixels Put cannot write counts
    // as no window.
    void Place(const QWidget& widget);
    // The widget is not shown: Put draws nothing until the next Place.
    void Hide();

    // Puts the picture's top-left part into the widget's rectangle (as much of it as both
    // cover); false when nothing was put (hidden, no window, a picture that is not
    // Format_RGB32).
    bool Put(const QImage& picture);

private:
    explicit WindowBlit(xcb_connection_t* connection);
    bool UsableWindow(std::uint32_t window);

    xcb_connection_t* connection_;
    std::uint32_t maxRequestBytes_ = 0;
    std::mutex mutex_;
    std::uint32_t window_ = 0;  // 0: nothing is put
    std::uint32_t checked_ = 0; // the last window looked at, and what was found
    bool checkedUsable_ = false;
    std::uint32_t gc_ = 0;
    std::uint32_t gcWindow_ = 0;
    QRect place_;   // the widget's visible rectangle in its window
    QPoint origin_; // the widget's top-left corner in its window
    std::vector<std::uint32_t> scratch_;
};

} // namespace platform
