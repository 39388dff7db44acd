#include "saver/aimage.h"

#include <mutex>

void AImage::Paint(platform::Canvas& canvas) {
    if (!Image) {
        return;
    }
    const QImage& picture = Image->Picture();
    std::lock_guard lock(CanvasLock());
    canvas.StretchBlt(platform::Rect{0, 0, Width(), Height()}, picture,
                      platform::Rect{0, 0, picture.width(), picture.height()});
}
