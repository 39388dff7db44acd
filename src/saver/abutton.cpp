#include "saver/abutton.h"

#include <mutex>

void AButton::SetCurrentContext(const std::string& context) {
    bool matched = false;
    for (const auto& face : faces_) {
        // The walk goes on: of several faces of one context the last one wins.
        if (face->Context == context) {
            matched = true;
            currentLink_ = face->Link;
            currentFace_ = face.get();
            SetHint(face->Hint);
            SetShowHint(true);
        }
    }
    currentContext_ = context;
    if (!matched) {
        currentLink_.clear();
        currentFace_ = nullptr;
    }
    SetCursor(currentLink_.empty() ? platform::CursorShape::Arrow
                                   : platform::CursorShape::HandPoint);
}

void AButton::AddFace(std::unique_ptr<AButtonFace> face) {
    if (!face) {
        return;
    }
    faces_.push_back(std::move(face));
    SetCurrentContext(std::string(currentContext_));
}

const QImage* AButton::ShownPicture() const {
    if (currentFace_ == nullptr) {
        return nullptr;
    }
    const AButtonFace& face = *currentFace_;
    const AXImage* image = face.DefaultImage.get();
    // The choice goes by the images the face has; an image whose load gave no picture
    // is chosen all the same and then shows nothing.
    if (Enabled()) {
        if (pressed_ && face.PressedImage) {
            image = face.PressedImage.get();
        } else if (mouseInside_ && face.HoverImage) {
            image = face.HoverImage.get();
        }
    } else if (face.DisabledImage) {
        image = face.DisabledImage.get();
    }
    if (image == nullptr || image->Picture().isNull()) {
        return nullptr;
    }
    return &image->Picture();
}

void AButton::Paint(platform::Canvas& canvas) {
    const QImage* picture = ShownPicture();
    if (picture == nullptr) {
        return;
    }
    std::lock_guard lock(CanvasLock());
    canvas.StretchBlt(platform::Rect{0, 0, Width(), Height()}, *picture,
                      platform::Rect{0, 0, picture->width(), picture->height()});
}

void AButton::MouseEnter() {
    mouseInside_ = true;
    if (currentFace_ != nullptr && currentFace_->HoverImage) {
        Invalidate();
    }
}

void AButton::MouseLeave() {
    mouseInside_ = false;
    if (currentFace_ != nullptr && currentFace_->HoverImage) {
        Invalidate();
    }
}

void AButton::MouseDown(platform::MouseButton button, platform::Point p) {
    ButtonDown();
    GraphicControl::MouseDown(button, p);
}

void AButton::MouseUp(platform::MouseButton button, platform::Point p) {
    ButtonUp();
    GraphicControl::MouseUp(button, p);
}

void AButton::ButtonDown() {
    pressed_ = true;
    if (currentFace_ != nullptr && currentFace_->PressedImage) {
        Invalidate();
    }
}

void AButton::ButtonUp() {
    pressed_ = false;
    if (currentFace_ != nullptr && currentFace_->PressedImage) {
        Invalidate();
    }
}
