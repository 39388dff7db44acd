#pragma once

// ATicker scrolls channel items from right to left through its band, one pixel per tick
// of its xMMTimer. Each item is a cell MessageWidth pixels wide: the channel name in a
// bevelled title bar and below it a thumbnail (when one fits with a third of the body's
// height to spare) and the item's title, word-wrapped, with the more-marker when the item
// has a link. A click or a context-menu request over a cell hands out that cell's link.
//
// The band follows elapsed time: each tick of the timer moves it by the pixels due since
// it was enabled (one per tick interval, on a clock), so a tick that comes late, or one
// that never came on a busy machine, does not slow the crawl down.
//
// Each visible item's cell is rendered once into a picture of its own when it comes into
// view and reused while it stays in view (again when the look or the size changes); a
// frame is these pictures copied side by side at their scroll positions.
//
// Frames are painted on the timer thread into a picture of the ticker's own. On an X
// display the timer thread puts each finished frame straight into the ticker's place in
// its window (platform::WindowBlit): the GUI thread is not woken for it and the frame
// goes through no paint pass or backing store. Elsewhere the finished frame is handed to
// the GUI thread under a small lock and shown there by a queued repaint, so the timer
// thread never waits for the GUI thread and the GUI thread never waits for a frame to be
// painted; DrawOnScreen then asks for each frame to be shown at once: a repaint of only
// the ticker's rectangle as soon as the frame arrives, instead of an update that the
// window system may put together with other paints. Either way the ticker's own paint
// (an exposure) shows the newest frame.
//
// Owns its tick timer and its frames; its item lists are shared as AXMessenger describes.
//
// Threads: construction, destruction, the setters, SetBounds, the mouse handlers and the
// look fields: main thread (the look fields before the ticker is enabled). TickerTick and
// PaintFrame: the timer thread, or any one thread while the tick timer cannot fire (tests
// give it an interval it never reaches). Disabling and destruction wait for a running tick
// to finish: once SetEnabled(false) returns, no tick runs and none starts.

#include "platform/ui/control.h"
#include "platform/ui/drawing.h"
#include "platform/ui/windowblit.h"
#include "saver/axmessenger.h"
#include "saver/xmmtimer.h"

#include <QImage>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QHideEvent;
class QMouseEvent;
class QMoveEvent;
class QResizeEvent;
class QShowEvent;

class ATicker : public AXMessenger {
public:
    // Created disabled, with a tick interval of 500 ms. The parent is the tick timer's
    // owner.
    explicit ATicker(QWidget* parent = nullptr);
    ~ATicker() override;
    ATicker(const ATicker&) = delete;
    ATicker& operator=(const ATicker&) = delete;

    // A frame is painted at most this wide and high (the rest of a larger ticker stays
    // empty): geometry from a layout can be anything, and a band larger than this could
    // not be shown on a screen anyway.
    static constexpr int kMaxFrameWidth = 8192;
    static constexpr int kMaxFrameHeight = 2048;

    // A click on a cell: ClickedLink holds its link.
    std::function<void(ATicker& sender)> OnLinkClick;
    // A context-menu request over a cell (ticker coordinates); without a handler the
    // request is taken as handled and no menu opens.
    std::function<void(ATicker& sender, platform::Point, bool& handled)> OnLinkContextPopup;
    // The link of the cell under the mouse at the last click or context-menu request.
    const std::string& ClickedLink() const { return clickedLink_; }

    // Scrolling and painting on or off. Only those: clicks are taken while it is off.
    bool Enabled() const { return enabled_.load(); }
    void SetEnabled(bool enabled) override;
    int TickInterval() const { return tickInterval_; }
    // Milliseconds between two ticks (the timer's interval; never below its period).
    void SetTickInterval(int ms);
    bool DrawOnScreen() const { return drawOnScreen_.load(); }
    void SetDrawOnScreen(bool on) { drawOnScreen_.store(on); }

    // The link of the item whose cell is at x (ticker coordinates); empty when that item
    // has none, when there are no items, or while MessageWidth is below 1.
    std::string LinkAt(int x) const;

    // Size the ticker through this (or by resizing it): the timer thread reads the size
    // from copies kept here.
    void SetBounds(int left, int top, int width, int height);
    int ViewHeight() const { return viewHeight_.load(); }

    // Nanoseconds on a monotonic clock. The ticker's pace is measured on it.
    using Clock = std::function<std::int64_t()>;
    // Replaces the steady clock (tests drive the pace with a clock of their own). Main
    // thread, while disabled.
    void SetClock(Clock clock);

    // One tick: the band moves by pixels (1 by default; a whole cell scrolled out steps
    // one item forward) and a frame is painted. Nothing while disabled or while
    // MessageWidth is below 1.
    void TickerTick(int pixels = 1);
    // The tick timer's event: moves the band by the pixels due on the clock since the
    // ticker was enabled or got its interval (rounded to the nearest pixel, so a tick a
    // little early or late still moves one), at most kMaxCatchUpMs worth at once: a
    // longer stall (a suspended process) is not made up.
    void TickerTickDue();
    static constexpr int kMaxCatchUpMs = 1000;
    // The pixels moved by TickerTickDue since the pace was last started.
    std::int64_t PixelsMoved() const;
    // Paints the cells into a new frame, hands it to the GUI thread and then merges a
    // waiting item set into the display list. Nothing while a frame is painted or the
    // display list is rebuilt.
    void PaintFrame();
    // The frame handed over last (null before the first one).
    QImage Frame() const;

    xMMTimer& TickTimer() { return *timer_; }

    // How many cells a frame has rendered afresh since construction (each one once while
    // it stays in view).
    std::int64_t CellsRendered() const { return cellsRendered_.load(); }

protected:
    // One item's cell with its top-left corner at (x, y) of the frame: its cell picture,
    // rendered by RenderCell when the item has none for the current look. Runs on the
    // timer thread: a class that overrides it disables the ticker in its own destructor.
    virtual void PaintCell(platform::Canvas& canvas, AXMessage& item, int x, int y);
    // Draws one item's cell with its top-left corner at (x, y) of the canvas.
    void RenderCell(platform::Canvas& canvas, AXMessage& item, int x, int y);

    void Paint(platform::Canvas& canvas) override;
    void MouseMove(platform::Point p) override;
    void MouseLeave() override;
    void Click() override;
    void ContextPopup(platform::Point p, bool& handled) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // Shows the frame just swapped in; dx: it is the frame shown before moved left by dx
    // pixels (0: not known to be).
    void Present(int dx);
    // Tells the direct frame path where the ticker is shown now. GUI thread.
    void PlaceBlit();
    // Restarts the pace at the clock's now. Holds the timer list's lock.
    void StartPace();

    // What a cell picture depends on besides its item.
    struct CellLook {
        std::string titleFont, bodyFont, more;
        int titleSize = 0, bodySize = 0, titleHeight = 0, border = 0, contrast = 0;
        int width = 0, height = 0;
        bool titleBold = false, titleItalic = false, bodyBold = false, bodyItalic = false;
        bool thumbs = false;
        platform::Color titleFg = 0, titleBg = 0, bodyFg = 0, bodyBg = 0;
        bool operator==(const CellLook&) const = default;
    };
    CellLook CurrentLook() const;
    struct CellPicture {
        std::uint64_t item = 0; // the item's Serial: no reference is held
        QImage picture;
        bool used = false;
    };
    // The picture of the item's cell, rendered when missing. Only the holder of
    // IsPainting calls it.
    const QImage& CellFor(AXMessage& item);

    std::unique_ptr<xMMTimer> timer_;
    std::atomic<bool> enabled_{false};
    int tickInterval_ = 0;
    std::atomic<bool> drawOnScreen_{false};
    std::atomic<int> viewHeight_{0};
    std::string clickedLink_;
    platform::Point releasePos_;

    // Guarded by the timer list's lock (the tick timer's events hold it).
    Clock clock_;
    std::int64_t paceStart_ = 0;
    std::int64_t paceMoved_ = 0;

    // The frame being painted and the cell pictures of the items in view: only the holder
    // of IsPainting touches them.
    QImage back_;
    std::vector<CellPicture> cells_;
    CellLook cellLook_;
    // Where each cell of a frame lies, to tell a frame that is the last one scrolled.
    struct PlacedCell {
        std::uint64_t item = 0;
        long long x = 0;
        QImage picture; // the cell picture, shared (never drawn into once rendered)
    };
    struct FramePlan {
        std::vector<PlacedCell> cells; // left to right; empty: not a plain row of cells
        int width = 0;
        int height = 0;
        std::uint64_t look = 0; // cellGeneration_ when it was painted
    };
    // How far the frame now is the one before moved left: its cells those of the one
    // before at the same distance, wherever both show; 0 when it is not.
    static int ScrolledBy(const FramePlan& before, const FramePlan& now);
    FramePlan shownPlan_;
    // The columns left .. left + width of the frame a plan describes.
    QImage ColumnsOf(const FramePlan& plan, int left, int width) const;
    std::uint64_t cellGeneration_ = 0;
    int scrolledSinceWhole_ = 0;
    std::atomic<std::int64_t> cellsRendered_{0};
    // The finished frame, shown by Paint. After a frame shown by a scroll alone it is
    // composed from that frame's plan when it is asked for (frameMutex_ held).
    mutable std::mutex frameMutex_;
    mutable QImage front_;
    mutable bool frontStale_ = false;
    FramePlan stalePlan_;
    void ComposeStale() const;
    // A repaint has been asked of the GUI thread and not yet run.
    std::atomic<bool> presentQueued_{false};
    // Frames put straight into the window; null where the platform has no such path.
    std::unique_ptr<platform::WindowBlit> blit_;
    // GUI thread: the window has shown the ticker through a paint since it was shown, and
    // a placing after that paint waits.
    bool blitShown_ = false;
    bool blitPlaceQueued_ = false;
};
