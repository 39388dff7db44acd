#pragma once

// Putting a picture straight into a widget's place in its X window, from any thread, in
// place of the widget's repaint through the window system: no event for the GUI thread,
// no paint pass, no backing store; requests on Qt's own X connection (the requests of
// one connection are handled in order, so a put never overtakes what Qt did to the
// window before it).
//
// The picture goes into a pixmap of the widget's size on the X server, which is then
// copied to the window. A picture that is the last one moved left by some pixels, with
// only the columns that came in at the right new, is sent as just that: the server
// moves its pixmap and takes the new columns (PutScrolled), so a scrolling band costs a
// few hundred bytes a frame instead of the whole picture.
//
// The GUI thread tells where the widget is shown (Place: its window and its rectangle
// there, cut to its ancestors) and when it is not (Hide); Put draws nothing while the
// widget is hidden or its window unknown. Other windows over it clip the copy as they
// clip any drawing; the widget's own repaints (an exposure) still come through Qt.
//
// Only on Qt's xcb platform and for a window of 24-bit TrueColor pixels held as 32-bit
// words in the order of QImage::Format_RGB32 (what X servers on little-endian machines
// give): Create returns null elsewhere, and the caller repaints as usual.
//
// Owns its graphics context and pixmap on the X server. Threads: Create, Place, Hide and
// destruction on the GUI thread; Put and PutScrolled on any one thread at a time, never
// after the widget's window is destroyed (its owner stops putting first).

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
    // The same for a picture that is the one put last moved left by dx pixels, its
    // rightmost dx columns new: only those are sent. Without such a last picture (none
    // put, one skipped while hidden, another size, dx out of 1 .. width - 1) the whole
    // picture is put.
    bool PutScrolled(const QImage& picture, int dx);
    // The last picture put (of that size) moved left by dx pixels, with columns (dx wide,
    // as high as the picture) coming in at the right: false, and nothing done, when the
    // pixmap does not hold such a last picture (the caller then puts the whole one).
    bool Scroll(QSize size, int dx, const QImage& columns);

    // How many puts sent the whole picture and how many only new columns.
    std::int64_t WholePuts() const { return wholePuts_; }
    std::int64_t ScrolledPuts() const { return scrolledPuts_; }

private:
    explicit WindowBlit(xcb_connection_t* connection);
    bool UsableWindow(std::uint32_t window);
    // Sends the rectangle of the picture into the pixmap, its top-left corner at to.
    void SendRect(const QImage& picture, const QRect& rect, QPoint to);
    // Copies the pixmap's visible part to the window and flushes.
    void Show(const QSize& size);
    void DropPixmap();

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
    std::uint32_t pixmap_ = 0; // the last picture, on the server
    QSize pixmapSize_;
    bool pixmapHoldsLast_ = false; // the pixmap holds the last picture given to a put
    std::int64_t wholePuts_ = 0;
    std::int64_t scrolledPuts_ = 0;
};

} // namespace platform
