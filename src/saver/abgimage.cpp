#include "saver/abgimage.h"

ABgimage::ABgimage(platform::ControlHost* host) : AXImage(host) {
    Stretch = true;
    SetBounds(0, 0, ScreenWidth, ScreenHeight);
    SendToBack();
}

void ABgimage::LoadFromFile(const std::string& path) {
    Stretch = true;
    SetSize(ScreenWidth, ScreenHeight);
    AXImage::LoadFromFile(path);
    // Also repaints the area with the new picture.
    SendToBack();
}
