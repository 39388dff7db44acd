#pragma once

// The metafile player: a WMF or EMF read by platform::Metafile drawn onto a picture
// through the drawing adapter (Canvas), so that the drawing rules of every other picture
// hold for metafiles too (right and bottom edges exclusive, lines without their last
// pixel, nearest-pixel stretching) and text takes the adapter's fonts (Arial's metrics
// from the Liberation faces). Clip regions of any shape, alpha blends, masked copies and
// gradient fills are drawn here, by the same pixel rules.
//
// Threads: any thread, one picture per thread at a time, as for Canvas.

#include "platform/metafileparse.h"
#include "platform/ui/drawing.h"

#include <QImage>

namespace platform {

// Plays the metafile onto picture with its frame mapped onto target (pixels of the
// picture). Drawing never leaves the picture.
void DrawMetafile(QImage& picture, const Metafile& metafile, const Rect& target);

} // namespace platform
