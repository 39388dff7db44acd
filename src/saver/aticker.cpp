#include "saver/aticker.h"

#include <QHideEvent>
#include <QMetaObject>
#include <QMouseEvent>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QShowEvent>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>

using platform::Brush;
using platform::BrushStyle;
using platform::Canvas;
using platform::Point;
using platform::Rect;

namespace {

// Clears IsPainting however the frame ends.
class PaintingRelease {
public:
    explicit PaintingRelease(AXMessenger& messenger) : messenger_(messenger) {}
    PaintingRelease(const PaintingRelease&) = delete;
    PaintingRelease& operator=(const PaintingRelease&) = delete;
    ~PaintingRelease() { messenger_.EndPainting(); }

private:
    AXMessenger& messenger_;
};

std::int64_t SteadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Copies the part of a cell picture that falls into the frame with its left edge at x.
// Both are 32-bit pictures: rows are copied as they are.
void CopyCell(QImage& frame, const QImage& cell, int x) {
    const int left = std::max(x, 0);
    const int right = std::min<long long>((long long)x + cell.width(), frame.width());
    const int rows = std::min(cell.height(), frame.height());
    if (right <= left || rows <= 0) {
        return;
    }
    const std::size_t bytes = std::size_t(right - left) * 4;
    const int from = left - x;
    for (int y = 0; y < rows; ++y) {
        const auto* src = reinterpret_cast<const std::uint32_t*>(cell.constScanLine(y)) + from;
        auto* dst = reinterpret_cast<std::uint32_t*>(frame.scanLine(y)) + left;
        std::memcpy(dst, src, bytes);
    }
}

} // namespace

ATicker::ATicker(QWidget* parent) : AXMessenger(parent) {
    MessageWidth.store(300);
    TitleHeight = 22;
    MaxImageWidth = 100;
    MaxImageHeight = 100;
    TitleBorderWidth = 2;
    TitleFontSize = 8;
    BodyFontSize = 8;
    viewHeight_.store(height());
    clock_ = SteadyNow;
    timer_ = std::make_unique<xMMTimer>(parent);
    timer_->SetOnTimer([this](QObject*) { TickerTickDue(); });
    SetTickInterval(500);
    blit_ = platform::WindowBlit::Create();
}

ATicker::~ATicker() {
    // Each of these waits for a running tick, so nothing below is freed under one.
    SetEnabled(false);
    timer_->SetOnTimer(nullptr);
    timer_->SetOnSecondPhase(nullptr);
    timer_.reset();
}

void ATicker::SetEnabled(bool enabled) {
    if (enabled == enabled_.load()) {
        return;
    }
    enabled_.store(enabled);
    if (enabled) {
        // The timer counts a whole interval from here, in step with the pace.
        const auto lock = platform::LockTickList();
        timer_->SetInterval(tickInterval_);
        StartPace();
    }
    // Takes the timer list's lock, which a running tick holds: on disabling this returns
    // once that tick has finished, and the flag above keeps any later one from painting.
    timer_->SetEnabled(enabled);
}

void ATicker::SetTickInterval(int ms) {
    const auto lock = platform::LockTickList();
    tickInterval_ = ms;
    timer_->SetInterval(ms);
    timer_->SetSecondPhase(ms / 2 + 1);
    StartPace();
}

void ATicker::SetClock(Clock clock) {
    const auto lock = platform::LockTickList();
    clock_ = clock ? std::move(clock) : Clock(SteadyNow);
    StartPace();
}

void ATicker::StartPace() {
    const auto lock = platform::LockTickList();
    paceStart_ = clock_();
    paceMoved_ = 0;
}

std::int64_t ATicker::PixelsMoved() const {
    const auto lock = platform::LockTickList();
    return paceMoved_;
}

std::string ATicker::LinkAt(int x) const {
    const int mw = MessageWidth.load();
    if (mw < 1) {
        return {};
    }
    const long long position = (long long)x + CurrentMessageScrollOffset.load();
    const long long cell = std::clamp<long long>(position / mw, INT_MIN, INT_MAX);
    const AXMessageRef item = MessageAt(int(cell));
    return item ? item->Link : std::string();
}

void ATicker::SetBounds(int left, int top, int width, int height) {
    AXMessenger::SetBounds(left, top, width, height);
    viewHeight_.store(this->height());
}

void ATicker::resizeEvent(QResizeEvent* event) {
    viewHeight_.store(height());
    AXMessenger::resizeEvent(event);
    PlaceBlit();
}

void ATicker::moveEvent(QMoveEvent* event) {
    AXMessenger::moveEvent(event);
    PlaceBlit();
}

void ATicker::showEvent(QShowEvent* event) {
    // Frames go straight to the window only once the window has shown the ticker with
    // the rest of the screen (Paint), never before the screen's first paint.
    blitShown_ = false;
    PlaceBlit();
    AXMessenger::showEvent(event);
}

void ATicker::hideEvent(QHideEvent* event) {
    blitShown_ = false;
    PlaceBlit();
    AXMessenger::hideEvent(event);
}

void ATicker::PlaceBlit() {
    if (!blit_) {
        return;
    }
    if (blitShown_ && isVisible()) {
        blit_->Place(*this);
    } else {
        blit_->Hide();
    }
}

// ---------------------------------------------------------------------------------------
// Ticks and frames (timer thread)

void ATicker::TickerTickDue() {
    const auto lock = platform::LockTickList();
    if (!enabled_.load()) {
        return;
    }
    const std::int64_t interval = std::int64_t(std::max(timer_->Interval(), 1)) * 1'000'000;
    const std::int64_t elapsed = clock_() - paceStart_;
    // Rounded to the nearest pixel: a tick that comes a little before its deadline moves
    // the band as one that comes a little after.
    std::int64_t due = (elapsed + interval / 2) / interval - paceMoved_;
    if (due <= 0) {
        return;
    }
    const std::int64_t most = std::max<std::int64_t>(kMaxCatchUpMs * 1'000'000LL / interval, 1);
    if (due > most) {
        // A stall longer than that (the process was stopped) is not made up.
        paceStart_ += (due - most) * interval;
        due = most;
    }
    paceMoved_ += due;
    TickerTick(int(due));
}

void ATicker::TickerTick(int pixels) {
    if (!enabled_.load() || pixels < 1) {
        return;
    }
    const int mw = MessageWidth.load();
    if (mw < 1) {
        return;
    }
    int offset = CurrentMessageScrollOffset.load();
    // Counted in 64 bits: an offset set from outside could sit at the top of the range.
    const long long next = (long long)offset + pixels;
    if (next > mw) {
        // Whole cells scrolled out step the items on; the offset stays within 1..mw.
        const long long cells = (next - 1) / mw;
        offset = int(next - cells * mw);
        CurrentMessageScrollOffset.store(offset);
        Step(int(std::min<long long>(cells, 1 << 30)));
    } else {
        CurrentMessageScrollOffset.store(int(next));
    }
    if (!IsPainting.load() && !IsConstructing.load() && enabled_.load()) {
        PaintFrame();
    }
}

void ATicker::PaintFrame() {
    if (IsConstructing.load() || !TryBeginPainting()) {
        return;
    }
    const PaintingRelease release(*this);
    if (IsConstructing.load()) {
        return;
    }
    const int w = std::clamp(ViewWidth(), 0, kMaxFrameWidth);
    const int h = std::clamp(ViewHeight(), 0, kMaxFrameHeight);
    const CellLook look = CurrentLook();
    if (!(look == cellLook_)) {
        cells_.clear();
        cellLook_ = look;
        ++cellGeneration_;
    }
    FramePlan plan;
    plan.width = w;
    plan.height = h;
    plan.look = cellGeneration_;
    for (CellPicture& cell : cells_) {
        cell.used = false;
    }
    // The frame's items, each with its cell picture (rendered when it comes into view).
    std::vector<AXMessageRef> items;
    const int mw = MessageWidth.load();
    if (mw >= 1 && w > 0 && h > 0) {
        const int offset = CurrentMessageScrollOffset.load();
        // The cells 0 .. w / mw, and as many more as it takes to reach the right edge: with
        // a width that is not a multiple of the cell and a large offset, the last of those
        // ends short of the edge and the strip beyond would keep an older frame's pixels.
        const long long reach = ((long long)w + offset - 1) / mw;
        const long long last = std::max<long long>(w / mw, reach);
        for (long long i = 0; i <= last; ++i) {
            AXMessageRef item = MessageAt(int(i));
            if (!item) {
                break;
            }
            plan.cells.push_back({item->Serial, i * mw - offset, CellFor(*item)});
            items.push_back(std::move(item));
        }
    }
    // Cells scrolled out of view (or of items gone) are let go.
    std::erase_if(cells_, [](const CellPicture& cell) { return !cell.used; });
    // Only a row of cells from the left edge to the right one can be a scrolled frame.
    const bool row =
        !plan.cells.empty() && plan.cells.front().x <= 0 && plan.cells.back().x + mw >= w;
    int dx = row ? ScrolledBy(shownPlan_, plan) : 0;
    // Now and then the whole frame, whatever the plans say.
    constexpr int kScrolledFramesBetweenWhole = 64;
    if (dx > 0 && ++scrolledSinceWhole_ >= kScrolledFramesBetweenWhole) {
        dx = 0;
    }
    if (dx == 0) {
        scrolledSinceWhole_ = 0;
    }
    if (dx > 0 && blit_ && blit_->Scroll(QSize(w, h), dx, ColumnsOf(plan, w - dx, dx))) {
        // Shown by the server's scroll: the whole frame is composed only when asked for.
        const std::lock_guard lock(frameMutex_);
        stalePlan_ = plan;
        frontStale_ = true;
    } else {
        if (back_.width() != w || back_.height() != h) {
            back_ = platform::NewPicture(w, h, BodyBgColor);
        }
        if (!back_.isNull()) {
            Canvas canvas(back_);
            for (std::size_t k = 0; k < items.size(); ++k) {
                PaintCell(canvas, *items[k], int(plan.cells[k].x), 0);
            }
            if (items.empty()) {
                // No items: an empty band, not a frame left over from before.
                back_.fill(platform::ToQRgb(BodyBgColor));
            }
        }
        {
            const std::lock_guard lock(frameMutex_);
            std::swap(front_, back_);
            frontStale_ = false;
        }
        Present(dx);
    }
    if (!row) {
        plan.cells.clear();
    }
    shownPlan_ = std::move(plan);
    RebuildDisplayList();
}

QImage ATicker::ColumnsOf(const FramePlan& plan, int left, int width) const {
    QImage columns = platform::NewPicture(width, plan.height, BodyBgColor);
    for (const PlacedCell& cell : plan.cells) {
        if (cell.x < left + width && cell.x + cell.picture.width() > left) {
            CopyCell(columns, cell.picture, int(cell.x - left));
        }
    }
    return columns;
}

void ATicker::ComposeStale() const {
    if (!frontStale_) {
        return;
    }
    if (front_.width() != stalePlan_.width || front_.height() != stalePlan_.height) {
        front_ = platform::NewPicture(stalePlan_.width, stalePlan_.height, BodyBgColor);
    }
    for (const PlacedCell& cell : stalePlan_.cells) {
        CopyCell(front_, cell.picture, int(cell.x));
    }
    frontStale_ = false;
}

int ATicker::ScrolledBy(const FramePlan& before, const FramePlan& now) {
    if (before.cells.empty() || now.cells.empty() || before.width != now.width ||
        before.height != now.height || before.look != now.look) {
        return 0;
    }
    const auto holds = [&before](std::uint64_t item, long long x) {
        return std::any_of(before.cells.begin(), before.cells.end(),
                           [&](const PlacedCell& c) { return c.item == item && c.x == x; });
    };
    // An item may show twice (a short list wraps): each place of the first cell is tried.
    for (const PlacedCell& candidate : before.cells) {
        if (candidate.item != now.cells.front().item) {
            continue;
        }
        const long long dx = candidate.x - now.cells.front().x;
        if (dx <= 0 || dx >= now.width) {
            continue;
        }
        // Every cell that showed before (at dx to the right) must be the same cell there.
        const bool same = std::all_of(now.cells.begin(), now.cells.end(), [&](const PlacedCell& c) {
            return c.x + dx >= now.width || holds(c.item, c.x + dx);
        });
        if (same) {
            return int(dx);
        }
    }
    return 0;
}

ATicker::CellLook ATicker::CurrentLook() const {
    CellLook look;
    look.titleFont = TitleFontName;
    look.bodyFont = BodyFontName;
    look.more = MoreStr;
    look.titleSize = TitleFontSize;
    look.bodySize = BodyFontSize;
    look.titleHeight = TitleHeight;
    look.border = TitleBorderWidth;
    look.contrast = TitleBorderContrast;
    look.width = MessageWidth.load();
    look.height = std::clamp(ViewHeight(), 0, kMaxFrameHeight);
    look.titleBold = TitleFontBold;
    look.titleItalic = TitleFontItalic;
    look.bodyBold = BodyFontBold;
    look.bodyItalic = BodyFontItalic;
    look.thumbs = ShowThumbs;
    look.titleFg = TitleFgColor;
    look.titleBg = TitleBgColor;
    look.bodyFg = BodyFgColor;
    look.bodyBg = BodyBgColor;
    return look;
}

const QImage& ATicker::CellFor(AXMessage& item) {
    for (CellPicture& cell : cells_) {
        if (cell.item == item.Serial) {
            cell.used = true;
            return cell.picture;
        }
    }
    CellPicture cell;
    cell.item = item.Serial;
    cell.picture = platform::NewPicture(std::min(cellLook_.width, kMaxFrameWidth), cellLook_.height,
                                        BodyBgColor);
    if (!cell.picture.isNull()) {
        Canvas canvas(cell.picture);
        RenderCell(canvas, item, 0, 0);
    }
    cell.used = true;
    ++cellsRendered_;
    cells_.push_back(std::move(cell));
    return cells_.back().picture;
}

void ATicker::Present(int dx) {
    // Only this thread swaps the frames, so the newest one is read here without the lock.
    if (blit_ && blit_->PutScrolled(front_, dx)) {
        return;
    }
    // One repaint waits at a time; the GUI thread shows the newest frame when it runs.
    if (presentQueued_.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            presentQueued_.store(false);
            if (drawOnScreen_.load()) {
                repaint(rect());
            } else {
                update();
            }
        },
        Qt::QueuedConnection);
}

void ATicker::PaintCell(Canvas& canvas, AXMessage& item, int x, int y) {
    const QImage& cell = CellFor(item);
    QImage& target = canvas.Target();
    if (y == 0 && target.format() == cell.format() && target.depth() == 32) {
        CopyCell(target, cell, x);
    } else {
        canvas.BitBlt(Point{x, y}, cell, Rect{0, 0, cell.width(), cell.height()});
    }
}

void ATicker::RenderCell(Canvas& canvas, AXMessage& item, int x, int y) {
    const int mw = MessageWidth.load();
    const int bw = TitleBorderWidth;
    const int height = ViewHeight();
    PaintFrameBox(canvas, Rect{x, y, x + mw, y + height});
    PaintTitle(canvas, Rect{x, y, x + mw, y + TitleHeight}, item.ChannelName);

    Rect body{x + bw, y + TitleHeight + bw, x + mw - bw, y + height - bw};
    const int bodyW = body.Width();
    const int bodyH = body.Height();
    if (AXMessageImage* thumb1 = item.Thumb1) {
        int w1 = 0;
        int h1 = 0;
        {
            const std::lock_guard lock(thumb1->CanvasLock());
            w1 = thumb1->PictureSize().width();
            h1 = thumb1->PictureSize().height();
        }
        // A third of the body's height stays free under the thumbnail.
        AXMessageImage* const thumbs[] = {item.Thumb1, item.Thumb2, item.Thumb4, item.Thumb8};
        for (int k = 0, divisor = 1; k < 4; ++k, divisor *= 2) {
            if (bodyH >= 3 * h1 / (2 * divisor) && bodyW / 2 >= w1 / divisor) {
                if (thumbs[k] != nullptr) {
                    PaintThumb(canvas, body, thumbs[k]);
                }
                break;
            }
        }
    }
    if (BodyFontItalic) {
        body.left += bw;
        body.right -= 2 * bw;
    }
    PaintText(canvas, body, !item.Link.empty(), BodyFontItalic, BodyFontBold, item.Title);
}

QImage ATicker::Frame() const {
    const std::lock_guard lock(frameMutex_);
    ComposeStale();
    return front_;
}

// ---------------------------------------------------------------------------------------
// GUI thread

void ATicker::Paint(Canvas& canvas) {
    if (blit_ && !blitShown_ && !blitPlaceQueued_) {
        // After this paint pass, which also puts the rest of the screen into the window.
        blitPlaceQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                blitPlaceQueued_ = false;
                blitShown_ = isVisible();
                PlaceBlit();
            },
            Qt::QueuedConnection);
    }
    const Rect all{0, 0, Width(), Height()};
    const std::lock_guard lock(frameMutex_);
    ComposeStale();
    if (front_.isNull()) {
        canvas.FillRect(all, Brush(BrushStyle::Solid, BodyBgColor));
        return;
    }
    canvas.BitBlt(Point{0, 0}, front_, Rect{0, 0, front_.width(), front_.height()});
    // A frame painted before a resize (or clamped) leaves the rest of the ticker empty.
    const Rect right{front_.width(), 0, all.right, all.bottom};
    const Rect below{0, front_.height(), std::min(front_.width(), all.right), all.bottom};
    for (const Rect& r : {right, below}) {
        if (!r.Empty()) {
            canvas.FillRect(r, Brush(BrushStyle::Solid, BodyBgColor));
        }
    }
}

void ATicker::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    releasePos_ = Point{p.x(), p.y()};
    AXMessenger::mouseReleaseEvent(event);
}

void ATicker::Click() {
    if (!OnLinkClick) {
        return;
    }
    // The place of the click itself: the pointer may have moved on since.
    clickedLink_ = LinkAt(releasePos_.x);
    OnLinkClick(*this);
}

void ATicker::ContextPopup(Point p, bool& handled) {
    if (!OnLinkContextPopup) {
        handled = true;
        return;
    }
    clickedLink_ = LinkAt(p.x);
    OnLinkContextPopup(*this, p, handled);
}

void ATicker::MouseMove(Point p) {
    SetCursor(LinkAt(p.x).empty() ? platform::CursorShape::Arrow
                                  : platform::CursorShape::HandPoint);
}

void ATicker::MouseLeave() {
    SetCursor(platform::CursorShape::Arrow);
}
