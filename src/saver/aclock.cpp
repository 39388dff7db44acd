#include "saver/aclock.h"

#include <cmath>
#include <ctime>
#include <mutex>

namespace {

using platform::Point;
using platform::Rect;

// The clock's own value of two pi: its angles, and so its truncated end points at the
// full hours, depend on it.
constexpr double kTwoPi = 2 * 3.1415926535;

Point HandEnd(double angle, int length, int cx, int cy) {
    return Point{int(std::sin(angle) * length + cx), int(cy - std::cos(angle) * length)};
}

Rect Hub(double size, int cx, int cy) {
    const double dx = cx * size / 52;
    const double dy = cy * size / 52;
    return Rect{int(cx - dx), int(cy - dy), int(cx + dx), int(cy + dy)};
}

} // namespace

AClock::AClock(platform::ControlHost* host)
    : GraphicControl(host), timer_(std::make_unique<AXClockTimer>()) {
    timer_->Enabled = false;
    timer_->Interval = 1000;
    // The tick draws straight onto the host's surface, without invalidating.
    timer_->Callback = [this] { PaintNow(); };
    SetEnabled(false);
}

AClock::~AClock() {
    timer_->Enabled = false;
    timer_.reset();
    Clockface.reset();
}

void AClock::SetEnabled(bool on) {
    GraphicControl::SetEnabled(on);
    timer_->Enabled = on;
    if (on) {
        Invalidate();
    }
}

ClockTime AClock::LocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return ClockTime{local.tm_hour, local.tm_min, local.tm_sec};
}

ClockDrawing AClock::Layout(int width, int height, ClockTime time) {
    ClockDrawing d;
    const int cy = height / 2 - 2;
    const int cx = width / 2 - 2;
    d.center = Point{cx, cy};

    const double secondAngle = time.second * kTwoPi * (1.0 / 60);
    const double minuteAngle = time.minute * kTwoPi * (1.0 / 60);
    const double hourAngle = time.hour * kTwoPi * (1.0 / 12) + minuteAngle * (1.0 / 12);

    d.hourLength = cy * 22 / 52;
    d.minuteLength = cy * 36 / 52;
    d.secondLength = cy * 40 / 52;
    d.hourEnd = HandEnd(hourAngle, d.hourLength, cx, cy);
    d.minuteEnd = HandEnd(minuteAngle, d.minuteLength, cx, cy);
    d.secondEnd = HandEnd(secondAngle, d.secondLength, cx, cy);
    d.hourPen = cy * 2 / 52;
    d.minutePen = cy * 2 / 52;
    d.secondPen = cy / 52;
    d.minuteHub = Hub(2.5, cx, cy);
    d.secondHub = Hub(1.5, cx, cy);

    const int diameter = int(2 * cy - cy * 1.5 * (1.0 / 52) * 3);
    d.markRadius = diameter / 2;
    for (int i = 0; i < 60; ++i) {
        const double f = i % 15 == 0 ? 1.5 : i % 5 == 0 ? 0.75 : 0.25;
        const float half = float(cy * f / 52);
        const float a = float(i * kTwoPi / 60);
        const float x = float(std::sin(a) * d.markRadius + cx);
        const float y = float(cy - std::cos(a) * d.markRadius);
        d.marks[std::size_t(i)] = Rect{int(x - half), int(y - half), int(x + half), int(y + half)};
    }
    return d;
}

void AClock::Paint(platform::Canvas& canvas) {
    if (!Visible() || !Enabled()) {
        return;
    }
    const ClockTime now = TimeSource ? TimeSource() : LocalTime();
    std::lock_guard lock(CanvasLock());
    const int level = canvas.Save();
    // Whoever paints the clock, nothing lands outside it.
    canvas.IntersectClip(Rect{0, 0, Width(), Height()});

    if (Clockface) {
        std::lock_guard faceLock(Clockface->CanvasLock());
        const QImage& face = Clockface->Picture();
        canvas.StretchBlt(Rect{0, 0, Width(), Height()}, face,
                          Rect{0, 0, face.width(), face.height()});
    }

    const ClockDrawing d = Layout(Width(), Height(), now);
    // Below 4 pixels a side the centre lies outside the clock and every length turns
    // negative: the hands would point the wrong way. Such a clock shows its face only.
    if (d.center.x >= 0 && d.center.y >= 0) {
        using platform::Brush;
        using platform::BrushStyle;
        using platform::Pen;
        using platform::PenStyle;
        if (ShowHourMarks) {
            canvas.SetPen(Pen(PenStyle::Solid, 1, ColorHourMarks));
            canvas.SetBrush(Brush(BrushStyle::Solid, ColorHourMarks));
            for (const Rect& mark : d.marks) {
                canvas.Ellipse(mark);
            }
        }
        const auto hand = [&](Point end, int width, platform::Color color) {
            canvas.SetPen(Pen(PenStyle::Solid, width, color));
            canvas.SetBrush(Brush(BrushStyle::Solid, color));
            canvas.MoveTo(d.center);
            canvas.LineTo(end);
        };
        hand(d.hourEnd, d.hourPen, ColorHoursHand);
        hand(d.minuteEnd, d.minutePen, ColorMinutesHand);
        canvas.SetPen(Pen(PenStyle::Solid, 1, ColorMinutesHand));
        canvas.Ellipse(d.minuteHub);
        hand(d.secondEnd, d.secondPen, ColorSecondsHand);
        canvas.SetPen(Pen(PenStyle::Solid, 1, ColorSecondsHand));
        canvas.Ellipse(d.secondHub);
    }
    canvas.Restore(level);
}

void AClock::TakeClockfaceFromBackground(AClock& clock, AXImage* background) {
    const int width = clock.Width();
    const int height = clock.Height();
    const platform::Color fill =
        clock.Host() != nullptr ? clock.Host()->BackgroundColor() : platform::kWhite;
    QImage picture = platform::NewPicture(width, height, fill);
    if (background != nullptr && !picture.isNull()) {
        // The background as it paints itself (stretched or not) under the clock, so the
        // face matches the screen for every picture format.
        platform::Canvas canvas(picture);
        canvas.SetViewportOrg(
            Point{background->Left() - clock.Left(), background->Top() - clock.Top()});
        canvas.IntersectClip(Rect{0, 0, background->Width(), background->Height()});
        std::lock_guard lock(background->CanvasLock());
        background->Paint(canvas);
    }
    auto face = std::make_unique<AXImage>();
    face->SetSize(width, height);
    face->SetPicture(std::move(picture));
    clock.Clockface = std::move(face);
}
