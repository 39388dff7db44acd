#pragma once

// ABgimage, the background picture of a layout screen: an image control stretched over
// the whole screen area and kept behind every other control of its host. The screen
// builder sets ScreenWidth and ScreenHeight (the area's size) and then loads the
// picture; whatever the format, the picture then covers the whole area.
//
// Owns its picture (through AXImage). Threads: main thread only.

#include "saver/aximage.h"

#include <string>

class ABgimage : public AXImage {
public:
    // Stretching, at 0,0, 0 x 0 until the screen size is set; behind its siblings.
    explicit ABgimage(platform::ControlHost* host = nullptr);

    // The size of the screen area the background covers.
    int ScreenWidth = 0;
    int ScreenHeight = 0;

    // Takes the screen area's size, loads the picture stretched over it (a bitmap that
    // cannot be read throws as AXImage::LoadFromFile does) and goes behind every sibling
    // again.
    void LoadFromFile(const std::string& path);
};
