#include "platform/ui/control.h"

#include <QCursor>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>

namespace platform {

namespace {

QRect ToQRect(const Rect& r) {
    return QRect(r.left, r.top, std::max(r.Width(), 0), std::max(r.Height(), 0));
}

bool Contains(const Rect& r, Point p) {
    return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom;
}

std::optional<MouseButton> ToButton(Qt::MouseButton b) {
    switch (b) {
    case Qt::LeftButton:
        return MouseButton::Left;
    case Qt::RightButton:
        return MouseButton::Right;
    case Qt::MiddleButton:
        return MouseButton::Middle;
    default:
        return std::nullopt;
    }
}

Point PointOf(const QMouseEvent* e) {
    const QPoint p = e->position().toPoint();
    return Point{p.x(), p.y()};
}

} // namespace

Qt::CursorShape ToQtCursor(CursorShape cursor) {
    return cursor == CursorShape::HandPoint ? Qt::PointingHandCursor : Qt::ArrowCursor;
}

// ---- GraphicControl ----

GraphicControl::GraphicControl(ControlHost* host) {
    SetHost(host);
}

GraphicControl::~GraphicControl() {
    SetHost(nullptr);
}

void GraphicControl::SetHost(ControlHost* host) {
    if (host == host_) {
        return;
    }
    if (host_ != nullptr) {
        host_->Remove(this);
    }
    host_ = host;
    if (host_ != nullptr) {
        host_->Add(this);
    }
}

void GraphicControl::SetBounds(int left, int top, int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (left == left_ && top == top_ && width == width_ && height == height_) {
        return;
    }
    Invalidate();
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    Invalidate();
}

void GraphicControl::SetVisible(bool visible) {
    if (visible != visible_) {
        visible_ = visible;
        if (host_ != nullptr) {
            host_->InvalidateRect(BoundsRect());
        }
    }
}

void GraphicControl::SetEnabled(bool enabled) {
    if (enabled != enabled_) {
        enabled_ = enabled;
        Invalidate();
    }
}

void GraphicControl::SetCursor(CursorShape cursor) {
    cursor_ = cursor;
    if (host_ != nullptr) {
        host_->ApplyCursor();
    }
}

void GraphicControl::Invalidate() {
    if (host_ != nullptr && visible_) {
        host_->InvalidateRect(BoundsRect());
    }
}

void GraphicControl::PaintNow() {
    if (host_ != nullptr && visible_) {
        host_->PaintControlNow(*this);
    }
}

void GraphicControl::SendToBack() {
    if (host_ != nullptr) {
        host_->Restack(this, true);
    }
}

void GraphicControl::BringToFront() {
    if (host_ != nullptr) {
        host_->Restack(this, false);
    }
}

void GraphicControl::Paint(Canvas&) {}

void GraphicControl::MouseDown(MouseButton button, Point p) {
    if (OnMouseDown) {
        OnMouseDown(*this, button, p);
    }
}

void GraphicControl::MouseUp(MouseButton button, Point p) {
    if (OnMouseUp) {
        OnMouseUp(*this, button, p);
    }
}

void GraphicControl::Click() {
    if (OnClick) {
        OnClick(*this);
    }
}

void GraphicControl::ContextPopup(Point p, bool& handled) {
    if (OnContextPopup) {
        OnContextPopup(*this, p, handled);
    }
}

// ---- ControlHost ----

ControlHost::ControlHost(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    // The surface covers every pixel: Qt need not clear behind it.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

ControlHost::~ControlHost() {
    // Controls outlive no host: they stay as holders of their state.
    for (GraphicControl* c : controls_) {
        c->host_ = nullptr;
    }
}

void ControlHost::SetBackgroundColor(Color color) {
    background_ = color;
    invalid_ = QRegion(rect());
    update();
}

GraphicControl* ControlHost::ControlAt(Point p) const {
    for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
        GraphicControl* c = *it;
        if (c->visible_ && c->enabled_ && Contains(c->BoundsRect(), p)) {
            return c;
        }
    }
    return nullptr;
}

void ControlHost::ComposeNow() {
    EnsureSurface();
    Compose(invalid_);
    invalid_ = QRegion();
}

void ControlHost::Add(GraphicControl* control) {
    controls_.push_back(control);
    control->Invalidate();
}

void ControlHost::Remove(GraphicControl* control) {
    control->Invalidate();
    std::erase(controls_, control);
    // A control that goes in the middle of a mouse gesture (a button that ends the
    // screen from its click handler) must not be called again.
    if (hover_ == control) {
        hover_ = nullptr;
        ApplyCursor();
    }
    if (pressed_ == control) {
        pressed_ = nullptr;
    }
}

void ControlHost::Restack(GraphicControl* control, bool toBack) {
    auto it = std::find(controls_.begin(), controls_.end(), control);
    if (it == controls_.end()) {
        return;
    }
    controls_.erase(it);
    if (toBack) {
        controls_.insert(controls_.begin(), control);
    } else {
        controls_.push_back(control);
    }
    control->Invalidate();
}

void ControlHost::InvalidateRect(const Rect& r) {
    if (r.Empty()) {
        return;
    }
    const QRect q = ToQRect(r) & rect();
    invalid_ += q;
    update(q);
}

void ControlHost::EnsureSurface() {
    if (surface_.size() != size()) {
        surface_ = NewPicture(width(), height(), background_);
        invalid_ = QRegion(rect());
    }
}

void ControlHost::PaintControl(GraphicControl& control, Canvas& canvas) {
    const int level = canvas.Save();
    canvas.SetViewportOrg(Point{control.left_, control.top_});
    canvas.IntersectClip(Rect{0, 0, control.width_, control.height_});
    {
        std::lock_guard lock(control.canvasLock_);
        control.Paint(canvas);
    }
    canvas.Restore(level);
}

void ControlHost::PaintControlNow(GraphicControl& control) {
    EnsureSurface();
    if (surface_.isNull()) {
        return;
    }
    {
        Canvas canvas(surface_);
        PaintControl(control, canvas);
    }
    update(ToQRect(control.BoundsRect()));
}

void ControlHost::Compose(const QRegion& region) {
    if (surface_.isNull()) {
        return;
    }
    for (const QRect& q : region) {
        const Rect area{q.left(), q.top(), q.left() + q.width(), q.top() + q.height()};
        Canvas canvas(surface_);
        canvas.IntersectClip(area);
        canvas.FillRect(area, Brush(BrushStyle::Solid, background_));
        for (GraphicControl* c : controls_) {
            const Rect b = c->BoundsRect();
            if (c->visible_ && !b.Empty() && b.left < area.right && area.left < b.right &&
                b.top < area.bottom && area.top < b.bottom) {
                PaintControl(*c, canvas);
            }
        }
    }
}

void ControlHost::paintEvent(QPaintEvent* event) {
    EnsureSurface();
    const QRegion due = invalid_ & event->region();
    if (!due.isEmpty()) {
        Compose(due);
        invalid_ -= due;
    }
    QPainter painter(this);
    for (const QRect& q : event->region()) {
        painter.drawImage(q, surface_, q);
    }
}

void ControlHost::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    EnsureSurface();
}

void ControlHost::TrackHover(GraphicControl* control) {
    if (control == hover_) {
        return;
    }
    GraphicControl* old = hover_;
    hover_ = control;
    if (old != nullptr) {
        old->MouseLeave();
    }
    // The leave handler may have removed the new control.
    if (hover_ == control && control != nullptr) {
        control->MouseEnter();
    }
    ApplyCursor();
}

void ControlHost::ApplyCursor() {
    if (hover_ != nullptr) {
        setCursor(ToQtCursor(hover_->cursor_));
    } else {
        unsetCursor();
    }
}

void ControlHost::mouseMoveEvent(QMouseEvent* event) {
    const Point p = PointOf(event);
    TrackHover(ControlAt(p));
    if (GraphicControl* c = pressed_ != nullptr ? pressed_ : hover_) {
        c->MouseMove(Point{p.x - c->left_, p.y - c->top_});
    }
}

void ControlHost::mousePressEvent(QMouseEvent* event) {
    const auto button = ToButton(event->button());
    const Point p = PointOf(event);
    TrackHover(ControlAt(p)); // a press may come without a move before it
    GraphicControl* c = hover_;
    if (!button || c == nullptr) {
        QWidget::mousePressEvent(event);
        return;
    }
    pressed_ = c;
    c->MouseDown(*button, Point{p.x - c->left_, p.y - c->top_});
}

void ControlHost::mouseReleaseEvent(QMouseEvent* event) {
    const auto button = ToButton(event->button());
    const Point p = PointOf(event);
    GraphicControl* c = pressed_;
    pressed_ = nullptr;
    if (!button || c == nullptr) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    const Point local{p.x - c->left_, p.y - c->top_};
    c->MouseUp(*button, local);
    // A click is a press and a release on the same control that is still there.
    if (std::find(controls_.begin(), controls_.end(), c) == controls_.end() || ControlAt(p) != c) {
        return;
    }
    if (*button == MouseButton::Left) {
        c->Click();
    } else if (*button == MouseButton::Right) {
        bool handled = false;
        c->ContextPopup(local, handled);
    }
}

void ControlHost::leaveEvent(QEvent* event) {
    TrackHover(nullptr);
    QWidget::leaveEvent(event);
}

bool ControlHost::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const GraphicControl* c = ControlAt(Point{help->pos().x(), help->pos().y()});
        if (c != nullptr && c->showHint_ && !c->hint_.empty()) {
            QToolTip::showText(help->globalPos(), QString::fromStdString(c->hint_), this,
                               ToQRect(c->BoundsRect()));
        } else {
            QToolTip::hideText();
            event->ignore();
        }
        return true;
    }
    return QWidget::event(event);
}

// ---- CustomControl ----

CustomControl::CustomControl(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CustomControl::~CustomControl() = default;

void CustomControl::SetBounds(int left, int top, int width, int height) {
    setGeometry(left, top, std::max(width, 0), std::max(height, 0));
}

void CustomControl::SetHint(const std::string& hint) {
    setToolTip(QString::fromStdString(hint));
}

void CustomControl::SetCursor(CursorShape cursor) {
    setCursor(ToQtCursor(cursor));
}

void CustomControl::Click() {
    if (OnClick) {
        OnClick(*this);
    }
}

void CustomControl::ContextPopup(Point p, bool& handled) {
    if (OnContextPopup) {
        OnContextPopup(*this, p, handled);
    }
}

Point CustomControl::CursorPos() const {
    const QPoint p = mapFromGlobal(QCursor::pos());
    return Point{p.x(), p.y()};
}

void CustomControl::paintEvent(QPaintEvent* event) {
    if (buffer_.size() != size()) {
        buffer_ = NewPicture(width(), height());
    }
    if (!buffer_.isNull()) {
        std::lock_guard lock(canvasLock_);
        Canvas canvas(buffer_);
        Paint(canvas);
    }
    QPainter painter(this);
    for (const QRect& q : event->region()) {
        painter.drawImage(q, buffer_, q);
    }
}

void CustomControl::mouseMoveEvent(QMouseEvent* event) {
    MouseMove(PointOf(event));
}

void CustomControl::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton || event->button() == Qt::RightButton;
}

void CustomControl::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = pressed_;
    pressed_ = false;
    const Point p = PointOf(event);
    if (!wasPressed || !rect().contains(p.x, p.y)) {
        return;
    }
    if (event->button() == Qt::LeftButton) {
        Click();
    } else if (event->button() == Qt::RightButton) {
        bool handled = false;
        ContextPopup(p, handled);
    }
}

void CustomControl::leaveEvent(QEvent* event) {
    MouseLeave();
    QWidget::leaveEvent(event);
}

} // namespace platform
