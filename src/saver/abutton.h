#pragma once

// AButton, an image button of a layout screen, and AButtonFace, one of its contexts.
//
// A button holds named contexts (states such as "default", "active", "playing"), each an
// AButtonFace with its own link, tooltip and four pictures (normal, pressed, hover,
// disabled). The current context selects the face the button shows; the screen builder
// changes it when the program's state changes and repaints the button. Mouse state
// (inside, pressed) picks the face's picture and repaints only when that picture can
// change. Clicks only raise OnClick.
//
// A button owns its faces, a face its four image controls (never placed on a host
// themselves). Threads: main thread only.

#include "platform/ui/control.h"
#include "saver/aximage.h"

#include <memory>
#include <string>
#include <vector>

class AButtonFace {
public:
    std::string Context;
    std::string Link;
    std::string Hint; // the tooltip
    std::unique_ptr<AXImage> DefaultImage;
    std::unique_ptr<AXImage> DisabledImage;
    std::unique_ptr<AXImage> PressedImage;
    std::unique_ptr<AXImage> HoverImage;
};

class AButton : public platform::GraphicControl {
public:
    explicit AButton(platform::ControlHost* host = nullptr) : GraphicControl(host) {}

    // The button's id from the layout ("#quit", "#sync" or any other).
    std::string Id;

    const std::string& CurrentContext() const { return currentContext_; }
    // Makes the last face of that context (compared case-sensitively) current, with its
    // link and tooltip; without one the button has no face, no link and keeps its
    // tooltip. The cursor is the hand while there is a link. Does not repaint.
    void SetCurrentContext(const std::string& context);
    // The current face's link; empty without a current face.
    const std::string& CurrentLink() const { return currentLink_; }
    // A face in Faces(), or null.
    const AButtonFace* CurrentFace() const { return currentFace_; }
    const std::vector<std::unique_ptr<AButtonFace>>& Faces() const { return faces_; }
    bool MouseInside() const { return mouseInside_; }
    bool Pressed() const { return pressed_; }

    // Appends the face (the button owns it from now on); a face of the current context
    // becomes current at once.
    void AddFace(std::unique_ptr<AButtonFace> face);

    // The picture for the current face and state, stretched over the button.
    void Paint(platform::Canvas& canvas) override;

protected:
    void MouseEnter() override;
    void MouseLeave() override;
    // Any mouse button: the state changes, then the events are raised as usual.
    void MouseDown(platform::MouseButton button, platform::Point p) override;
    void MouseUp(platform::MouseButton button, platform::Point p) override;

private:
    void ButtonDown();
    void ButtonUp();
    // The picture the current face shows in the present state; null for none.
    const QImage* ShownPicture() const;

    std::string currentContext_;
    std::string currentLink_;
    const AButtonFace* currentFace_ = nullptr;
    std::vector<std::unique_ptr<AButtonFace>> faces_;
    bool mouseInside_ = false;
    bool pressed_ = false;
};
