#pragma once

// Controls of a form, in place of the class library's graphic and windowed controls.
//
// GraphicControl is windowless: a rectangle of its host that paints itself onto the
// host's surface (the canvas's origin at the control's top-left, clipped to it), with
// mouse, click, tooltip and cursor handling done for it by the host. Controls lie in the
// order they were added, later ones above earlier ones; SendToBack and BringToFront
// change that. A control without a host is only a holder of its state (most pictures
// are never shown).
//
// ControlHost is the widget that shows graphic controls: a form's client area. It keeps
// its surface between paints, so a control painted straight onto it (the clock's tick)
// stays as drawn until an invalidated area is composed anew: background colour first,
// then every visible control over the area, bottom to top.
//
// CustomControl is a windowed control: a child widget of its own, double buffered, that
// paints itself onto its own picture. Windowed controls lie above the host's graphic
// controls.
//
// Threads: everything here runs on the main (GUI) thread, except that a control's
// CanvasLock may be taken on any thread that paints the control's pictures.

#include "platform/ui/drawing.h"

#include <QImage>
#include <QRegion>
#include <QWidget>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class ControlHost;

enum class CursorShape { Arrow, HandPoint };
enum class MouseButton { Left, Right, Middle };

class GraphicControl {
public:
    // Added on top of the host's controls; no host: not shown.
    explicit GraphicControl(ControlHost* host = nullptr);
    virtual ~GraphicControl();
    GraphicControl(const GraphicControl&) = delete;
    GraphicControl& operator=(const GraphicControl&) = delete;

    ControlHost* Host() const { return host_; }
    // Moves the control to another host (on top there), or takes it off with nullptr.
    void SetHost(ControlHost* host);

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    Rect BoundsRect() const { return Rect{left_, top_, left_ + width_, top_ + height_}; }
    // Sizes below 0 count as 0; the old and the new place are repainted.
    void SetBounds(int left, int top, int width, int height);
    void SetSize(int width, int height) { SetBounds(left_, top_, width, height); }

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    // A disabled control gets no mouse input; the host then treats the place as empty.
    bool Enabled() const { return enabled_; }
    virtual void SetEnabled(bool enabled);

    const std::string& Hint() const { return hint_; }
    void SetHint(std::string hint) { hint_ = std::move(hint); }
    bool ShowHint() const { return showHint_; }
    void SetShowHint(bool show) { showHint_ = show; }
    CursorShape Cursor() const { return cursor_; }
    void SetCursor(CursorShape cursor);

    // The host composes the control's area anew at its next paint.
    void Invalidate();
    // Paints the control straight onto the host's surface now, over what is there, and
    // shows the result; nothing when it is hidden or has no host.
    void PaintNow();
    void SendToBack();
    void BringToFront();

    // Held while the control paints; whoever draws the control's pictures from another
    // thread takes it too.
    std::recursive_mutex& CanvasLock() const { return canvasLock_; }

    // Raised by Click (a left press and release on the control).
    std::function<void(GraphicControl&)> OnClick;
    // A right click; handled = true suppresses any menu.
    std::function<void(GraphicControl&, Point, bool& handled)> OnContextPopup;
    // Raised by the default MouseDown and MouseUp.
    std::function<void(GraphicControl&, MouseButton, Point)> OnMouseDown;
    std::function<void(GraphicControl&, MouseButton, Point)> OnMouseUp;

    // The control's picture; the canvas's origin is the control's top-left and drawing is
    // clipped to the control. Called with CanvasLock held.
    virtual void Paint(Canvas& canvas);

protected:
    // Mouse input from the host, in control coordinates. The defaults raise the events.
    virtual void MouseEnter() {}
    virtual void MouseLeave() {}
    virtual void MouseMove(Point) {}
    virtual void MouseDown(MouseButton button, Point p);
    virtual void MouseUp(MouseButton button, Point p);
    virtual void Click();
    virtual void ContextPopup(Point p, bool& handled);

private:
    friend class ControlHost;

    ControlHost* host_ = nullptr;
    int left_ = 0;
    int top_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool visible_ = true;
    bool enabled_ = true;
    std::string hint_;
    bool showHint_ = true;
    CursorShape cursor_ = CursorShape::Arrow;
    mutable std::recursive_mutex canvasLock_;
};

class ControlHost : public QWidget {
public:
    explicit ControlHost(QWidget* parent = nullptr);
    ~ControlHost() override;
    ControlHost(const ControlHost&) = delete;
    ControlHost& operator=(const ControlHost&) = delete;

    Color BackgroundColor() const { return background_; }
    void SetBackgroundColor(Color color);

    // Bottom to top.
    const std::vector<GraphicControl*>& Controls() const { return controls_; }
    // The topmost visible, enabled control at the point (host coordinates), or null.
    GraphicControl* ControlAt(Point p) const;
    // The surface as composed so far (for tests and previews).
    const QImage& Surface() const { return surface_; }
    // Composes every invalidated area now, without waiting for the event loop.
    void ComposeNow();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    friend class GraphicControl;

    void Add(GraphicControl* control);
    void Remove(GraphicControl* control);
    void Restack(GraphicControl* control, bool toBack);
    void InvalidateRect(const Rect& r);
    void PaintControl(GraphicControl& control, Canvas& canvas);
    void PaintControlNow(GraphicControl& control);
    void Compose(const QRegion& region);
    void EnsureSurface();
    void TrackHover(GraphicControl* control);
    void ApplyCursor();

    std::vector<GraphicControl*> controls_;
    Color background_ = kWhite;
    QImage surface_;
    QRegion invalid_;
    GraphicControl* hover_ = nullptr;
    GraphicControl* pressed_ = nullptr; // the control a press went to, until release
};

class CustomControl : public QWidget {
public:
    explicit CustomControl(QWidget* parent = nullptr);
    ~CustomControl() override;
    CustomControl(const CustomControl&) = delete;
    CustomControl& operator=(const CustomControl&) = delete;

    int Left() const { return x(); }
    int Top() const { return y(); }
    int Width() const { return width(); }
    int Height() const { return height(); }
    void SetBounds(int left, int top, int width, int height);

    bool Enabled() const { return isEnabled(); }
    virtual void SetEnabled(bool enabled) { setEnabled(enabled); }
    void SetHint(const std::string& hint);
    void SetCursor(CursorShape cursor);

    // Repaint at the next paint of the event loop.
    void Invalidate() { update(); }

    std::recursive_mutex& CanvasLock() const { return canvasLock_; }

    std::function<void(CustomControl&)> OnClick;
    std::function<void(CustomControl&, Point, bool& handled)> OnContextPopup;

protected:
    // Paints the whole control onto its buffer (origin at its top-left), CanvasLock held.
    virtual void Paint(Canvas& canvas) = 0;
    virtual void MouseMove(Point) {}
    virtual void MouseLeave() {}
    virtual void Click();
    virtual void ContextPopup(Point p, bool& handled);
    // Where the mouse is now, in control coordinates.
    Point CursorPos() const;

    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QImage buffer_;
    bool pressed_ = false;
    mutable std::recursive_mutex canvasLock_;
};

// A cursor shape as Qt's.
Qt::CursorShape ToQtCursor(CursorShape cursor);

} // namespace platform
