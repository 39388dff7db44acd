#include "saver/amessagewindow.h"

#include <QMetaObject>
#include <algorithm>

using platform::Canvas;
using platform::Point;
using platform::Rect;

AMessagewindow::AMessagewindow(QWidget* parent) : AXMessenger(parent) {
    timer_.SetEnabled(false);
    timer_.SetInterval(10000);
    timer_.OnTimer = [this] { RotateTimer(); };
    SetEnabled(false);
}

AMessagewindow::~AMessagewindow() {
    timer_.SetEnabled(false);
    timer_.OnTimer = nullptr;
}

void AMessagewindow::SetEnabled(bool enabled) {
    enabled_ = enabled;
    timer_.SetEnabled(enabled);
    if (enabled) {
        RotateTimer();
        ShowCurrentMessage();
    }
}

void AMessagewindow::SetInterval(int ms) {
    interval_ = ms;
    timer_.SetInterval(ms);
}

void AMessagewindow::RotateTimer() {
    if (enabled_) {
        Step(1);
        ShowCurrentMessage();
    }
}

void AMessagewindow::TakeCurrentItem() {
    AXMessageRef item = MessageAt(0);
    if (item) {
        currentChannelName_ = item->ChannelName;
        currentTitle_ = item->Title;
        currentText_ = item->Text;
        currentLink_ = item->Link;
        currentImageUri_ = item->ImageUri;
        currentImagePath_ = item->ImagePath;
        currentThumbs_[0] = item->Thumb1;
        currentThumbs_[1] = item->Thumb2;
        currentThumbs_[2] = item->Thumb4;
        currentThumbs_[3] = item->Thumb8;
    } else {
        currentChannelName_ = kNoDataChannel;
        currentTitle_ = kNoDataTitle;
        currentText_ = kNoDataText;
        currentLink_.clear();
        currentImageUri_.clear();
        // The image path stays: the context menu may still name the last picture.
        std::fill(std::begin(currentThumbs_), std::end(currentThumbs_), nullptr);
    }
    // The thumbnails above are not counted; holding the item keeps them alive.
    currentItem_ = std::move(item);
}

void AMessagewindow::ShowCurrentMessage() {
    TakeCurrentItem();
    SetCursor(currentLink_.empty() ? platform::CursorShape::Arrow
                                   : platform::CursorShape::HandPoint);
    Render();
    if (!picture_.isNull()) {
        SetBounds(Left(), Top(), picture_.width(), picture_.height());
    }
    Invalidate();
    RebuildDisplayList();
}

void AMessagewindow::Render() {
    // Nothing while explicitly hidden or while the display list is being rebuilt.
    const bool hidden = isHidden() && testAttribute(Qt::WA_WState_ExplicitShowHide);
    if (hidden || IsConstructing.load()) {
        return;
    }
    const int bw = TitleBorderWidth;
    const int width = Width();
    QImage rendering = platform::NewPicture(width, MaxHeight);
    int needed = 0;
    {
        Canvas canvas(rendering);
        PaintFrameBox(canvas, Rect{0, 0, width, MaxHeight});
        PaintTitle(canvas, Rect{0, 0, width, TitleHeight}, currentChannelName_);

        Rect body{bw, TitleHeight + bw, width - bw, MaxHeight - bw};
        const int w = body.Width();
        const int h = body.Height();
        int thumbHeight = 0;
        if (AXMessageImage* thumb1 = currentThumbs_[0]) {
            QSize size1;
            {
                const std::lock_guard lock(thumb1->CanvasLock());
                size1 = thumb1->PictureSize();
            }
            const int w1 = size1.width();
            const int h1 = size1.height();
            AXMessageImage* chosen = nullptr;
            bool fits = false;
            for (int k = 0, divisor = 1; k < 4 && !fits; ++k, divisor *= 2) {
                if (h >= h1 / divisor && w / 2 >= w1 / divisor) {
                    chosen = currentThumbs_[k];
                    fits = true;
                }
            }
            if (chosen != nullptr) {
                PaintThumb(canvas, body, chosen);
                thumbHeight = ThumbHeight();
            }
        }
        if (BodyFontItalic) {
            body.left += bw;
            body.right -= 2 * bw;
        }
        if (!currentTitle_.empty()) {
            PaintText(canvas, body, currentText_.empty() && !currentLink_.empty(), BodyFontItalic,
                      TitleFontBold, currentTitle_);
        }
        if (!currentText_.empty()) {
            PaintText(canvas, body, !currentLink_.empty(), BodyFontItalic, BodyFontBold,
                      currentText_);
        }
        const int textHeight = body.top - (TitleHeight + bw);
        needed = 2 * bw + TitleHeight + std::max(thumbHeight, textHeight);
    }
    // The rendering holds nothing below MaxHeight: the widget never grows past it (a
    // thumbnail decoded a pixel taller than its share could ask for more).
    needed = std::min(needed, MaxHeight);
    const int height = std::max(needed, MinHeight);
    QImage sized = platform::NewPicture(width, height);
    if (!sized.isNull() && !rendering.isNull()) {
        Canvas(sized).BitBlt(Point{0, 0}, rendering,
                             Rect{0, 0, rendering.width(), rendering.height()});
    }
    picture_ = std::move(sized);
}

void AMessagewindow::Paint(Canvas& canvas) {
    if (picture_.isNull()) {
        return;
    }
    canvas.BitBlt(Point{0, 0}, picture_, Rect{0, 0, picture_.width(), picture_.height()});
    // Resized from outside: take the rendering's height again, after this paint (not
    // from inside it).
    if (picture_.height() != Height() && !resizeQueued_) {
        resizeQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                resizeQueued_ = false;
                if (!picture_.isNull() && picture_.height() != Height()) {
                    SetBounds(Left(), Top(), Width(), picture_.height());
                    Invalidate();
                }
            },
            Qt::QueuedConnection);
    }
}
