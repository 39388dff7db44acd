#pragma once

// AImage, a static picture of a layout screen: the picture of an image control squeezed
// or stretched into the widget's rectangle. Without a picture it paints nothing, so what
// lies below shows through.
//
// Owns its image control. Threads: main thread only.

#include "platform/ui/control.h"
#include "saver/aximage.h"

#include <memory>
#include <string>

class AImage : public platform::GraphicControl {
public:
    explicit AImage(platform::ControlHost* host = nullptr) : GraphicControl(host) {}

    // The layout image's id.
    std::string Id;
    // The picture shown; none when it could not be loaded. Never placed on a host itself.
    std::unique_ptr<AXImage> Image;

    // The image's whole picture stretched onto the widget's rectangle.
    void Paint(platform::Canvas& canvas) override;
};
