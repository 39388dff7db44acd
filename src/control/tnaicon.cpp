#include "control/tnaicon.h"

#include "platform/ui/drawing.h"

#include <QWidget>

// ---- TNAIcon ----

TNAIcon::TNAIcon() {
    tray_.OnMouse = [this](platform::TrayMouse mouse) {
        if (callback_) {
            callback_(mouse);
        }
    };
}

TNAIcon::~TNAIcon() {
    Remove();
    tray_.OnMouse = nullptr;
}

bool TNAIcon::Update() {
    tray_.SetPicture(icon_ != nullptr ? *icon_ : QImage());
    tray_.SetTip(tip_);
    if (!added_) {
        added_ = tray_.Add();
        return added_;
    }
    return true;
}

bool TNAIcon::Remove() {
    added_ = false;
    return tray_.Remove();
}

bool TNAIcon::Refresh() {
    return added_ ? Update() : Remove();
}

void TNAIcon::SetTip(const std::string& tip) {
    tip_ = tip;
    Refresh();
}

// ---- application window ----

namespace {

void ChangeFlag(QWidget& window, Qt::WindowType flag, bool on, bool hideFirst) {
    const bool wasVisible = window.isVisible();
    if (wasVisible && hideFirst) {
        window.hide();
    }
    // Changing the flags of a shown window hides it; it is shown again when it was.
    window.setWindowFlag(flag, on);
    if (wasVisible && hideFirst) {
        window.show();
    }
}

} // namespace

void HideFromTaskbar(QWidget& window, bool hide) {
    ChangeFlag(window, Qt::Tool, hide, true);
}

void SetMinimizeBox(QWidget& window, bool remove) {
    // The window's title bar is rebuilt with the new buttons: it stays hidden, as the
    // application window it stands for.
    const bool wasVisible = window.isVisible();
    window.hide();
    window.setWindowFlag(Qt::WindowMinimizeButtonHint, !remove);
    if (wasVisible) {
        window.show();
    }
}

void EnableCloseMenu(QWidget& window, bool grey) {
    ChangeFlag(window, Qt::WindowCloseButtonHint, !grey, true);
}

// ---- pictures ----

namespace {

using platform::Brush;
using platform::BrushStyle;
using platform::Canvas;
using platform::Color;
using platform::Pen;
using platform::PenStyle;
using platform::Point;
using platform::Rect;
using platform::Rgb;

// Drawn on this colour, which becomes transparent: the icon's mask.
constexpr Color kMaskColor = Rgb(255, 0, 255);

QImage Masked(const QImage& picture) {
    QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
    const QRgb mask = qRgb(255, 0, 255);
    for (int y = 0; y < argb.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(argb.scanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            if ((line[x] & 0xFFFFFF) == (mask & 0xFFFFFF)) {
                line[x] = 0;
            }
        }
    }
    return argb;
}

// A small monitor: frame, screen and foot.
void DrawMonitor(Canvas& c, Color screen) {
    c.SetPen(Pen(PenStyle::Solid, 1, Rgb(40, 40, 40)));
    c.SetBrush(Brush(BrushStyle::Solid, screen));
    c.Rectangle(Rect{1, 1, 15, 12});
    c.FillRect(Rect{6, 12, 10, 14}, Brush(BrushStyle::Solid, Rgb(80, 80, 80)));
    c.FillRect(Rect{4, 14, 12, 15}, Brush(BrushStyle::Solid, Rgb(80, 80, 80)));
}

// A letter in the lower right corner: new messages.
void DrawLetter(Canvas& c) {
    c.SetPen(Pen(PenStyle::Solid, 1, Rgb(120, 80, 0)));
    c.SetBrush(Brush(BrushStyle::Solid, Rgb(255, 220, 60)));
    c.Rectangle(Rect{7, 7, 16, 14});
    c.MoveTo(Point{7, 7});
    c.LineTo(Point{11, 11});
    c.LineTo(Point{16, 6});
}

// Two arrows, up and down: a transfer.
void DrawArrows(Canvas& c, Color color) {
    const Point up[] = {{2, 8}, {5, 4}, {8, 8}};
    const Point down[] = {{7, 9}, {10, 13}, {13, 9}};
    c.SetPen(Pen(PenStyle::Solid, 1, color));
    c.SetBrush(Brush(BrushStyle::Solid, color));
    c.Polygon(up);
    c.Polygon(down);
    c.FillRect(Rect{4, 8, 6, 11}, Brush(BrushStyle::Solid, color));
    c.FillRect(Rect{9, 6, 11, 9}, Brush(BrushStyle::Solid, color));
}

QImage NewIcon() {
    return platform::NewPicture(16, 16, kMaskColor);
}

} // namespace

QImage DrawResourceIcon(ResourceIcon which) {
    QImage picture = NewIcon();
    {
        Canvas c(picture);
        switch (which) {
        case ResourceIcon::Main:
            DrawMonitor(c, Rgb(40, 110, 200));
            break;
        case ResourceIcon::Messages:
            DrawMonitor(c, Rgb(40, 110, 200));
            DrawLetter(c);
            break;
        case ResourceIcon::MessagesTransfer:
            DrawMonitor(c, Rgb(40, 110, 200));
            DrawArrows(c, Rgb(40, 200, 60));
            DrawLetter(c);
            break;
        case ResourceIcon::Transfer:
            DrawMonitor(c, Rgb(40, 110, 200));
            DrawArrows(c, Rgb(40, 200, 60));
            break;
        case ResourceIcon::NoTransfer:
            DrawMonitor(c, Rgb(150, 150, 150));
            DrawArrows(c, Rgb(200, 40, 40));
            break;
        }
    }
    return Masked(picture);
}

QImage DrawMenuImage(int index) {
    QImage picture = NewIcon();
    {
        Canvas c(picture);
        switch (index) {
        case 0: // open the saver: the monitor at night, with a star
            DrawMonitor(c, Rgb(20, 30, 90));
            c.FillRect(Rect{9, 3, 11, 5}, Brush(BrushStyle::Solid, Rgb(255, 230, 80)));
            c.FillRect(Rect{4, 7, 5, 8}, Brush(BrushStyle::Solid, Rgb(255, 230, 80)));
            break;
        case 1: { // configure: a gear
            c.SetPen(Pen(PenStyle::Solid, 1, Rgb(60, 60, 60)));
            c.SetBrush(Brush(BrushStyle::Solid, Rgb(150, 150, 160)));
            c.FillRect(Rect{7, 1, 9, 15}, Brush(BrushStyle::Solid, Rgb(90, 90, 100)));
            c.FillRect(Rect{1, 7, 15, 9}, Brush(BrushStyle::Solid, Rgb(90, 90, 100)));
            c.Ellipse(Rect{3, 3, 13, 13});
            c.SetBrush(Brush(BrushStyle::Solid, kMaskColor));
            c.Ellipse(Rect{6, 6, 10, 10});
            break;
        }
        case 2: // synchronise: the arrows
            DrawArrows(c, Rgb(40, 160, 60));
            break;
        case 3: // close: a red cross
            c.SetPen(Pen(PenStyle::Solid, 3, Rgb(200, 30, 30)));
            c.MoveTo(Point{3, 3});
            c.LineTo(Point{13, 13});
            c.MoveTo(Point{13, 3});
            c.LineTo(Point{3, 13});
            break;
        default:
            break;
        }
    }
    return Masked(picture);
}

// ---- face choice ----

namespace {

// The face's image, or its blink image when the phase is set and that image is loaded.
int Blinking(const TrayState& s, Face face, FaceImage steady, FaceImage blink) {
    const int blinkSlot = FaceSlot(face, blink);
    return s.blinkPhase && s.loaded[blinkSlot] ? blinkSlot : FaceSlot(face, steady);
}

TrayChoice Layout(int slot) {
    TrayChoice c;
    c.layoutFace = true;
    c.slot = slot;
    return c;
}

TrayChoice Resource(ResourceIcon icon) {
    TrayChoice c;
    c.resource = icon;
    return c;
}

TrayChoice ChooseLayoutFace(const TrayState& s, FaceImage steady, FaceImage blink) {
    if (s.mandatoryNews && s.loaded[FaceSlot(Face::MNews, steady)]) {
        return Layout(Blinking(s, Face::MNews, steady, blink));
    }
    if (s.newMessages && s.loaded[FaceSlot(Face::News, steady)]) {
        return Layout(Blinking(s, Face::News, steady, blink));
    }
    return Layout(Blinking(s, Face::NoNews, steady, blink));
}

} // namespace

TrayChoice ChooseIdleIcon(const TrayState& s) {
    if (s.useLayoutFaces) {
        return ChooseLayoutFace(s, FaceImage::Default, FaceImage::DefaultBlink);
    }
    if (s.newMessages && s.blinkPhase) {
        return Resource(ResourceIcon::Messages);
    }
    return Resource(ResourceIcon::Main);
}

TrayChoice ChooseTransferIcon(const TrayState& s) {
    if (s.useLayoutFaces) {
        return ChooseLayoutFace(s, FaceImage::Sync, FaceImage::SyncBlink);
    }
    if (s.newMessages && s.blinkPhase) {
        return Resource(s.transferSubPhase ? ResourceIcon::MessagesTransfer
                                           : ResourceIcon::Messages);
    }
    return Resource(s.transferSubPhase ? ResourceIcon::Transfer : ResourceIcon::Main);
}
