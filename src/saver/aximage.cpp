#include "saver/aximage.h"

#include "platform/textcase.h"
#include "platform/ui/pictures.h"
#include "saver/gifimage.h"

#include <algorithm>
#include <cctype>

void AXImage::LoadFromFile(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos) {
        return;
    }
    const std::string extension = platform::AsciiLower(path.substr(dot + 1));
    if (extension == "bmp") {
        LoadAsBitmap(path);
    } else if (extension == "wmf" || extension == "emf") {
        LoadAsMetafile(path);
    } else if (extension == "jpg" || extension == "jpeg") {
        LoadAsJpeg(path);
    } else if (extension == "gif") {
        LoadAsGif(path);
    }
}

QImage& AXImage::SizedPicture() {
    if (picture_.width() != Width() || picture_.height() != Height()) {
        QImage sized = platform::NewPicture(Width(), Height());
        if (!picture_.isNull() && !sized.isNull()) {
            platform::Canvas(sized).BitBlt(
                platform::Point{0, 0}, picture_,
                platform::Rect{0, 0, picture_.width(), picture_.height()});
        }
        picture_ = std::move(sized);
    }
    return picture_;
}

void AXImage::LoadAsBitmap(const std::string& path) {
    picture_ = platform::LoadBitmapFile(path);
}

void AXImage::LoadAsMetafile(const std::string& path) {
    const platform::MetafilePicture metafile = platform::LoadMetafile(path);
    if (SizeToPicture) {
        SetSize(metafile.size.width, metafile.size.height);
    }
    QImage& picture = SizedPicture();
    if (metafile.draw && !picture.isNull()) {
        const platform::Size size = Stretch ? platform::Size{Width(), Height()} : metafile.size;
        metafile.draw(picture, platform::Rect{0, 0, size.width, size.height});
    }
}

void AXImage::LoadAsJpeg(const std::string& path) {
    // An unreadable file decodes to nothing: 0 x 0.
    const QImage decoded = platform::LoadJpegFile(path, ScaleDivisor);
    if (SizeToPicture) {
        SetSize(decoded.width(), decoded.height());
    }
    QImage& picture = SizedPicture();
    if (decoded.isNull() || picture.isNull()) {
        return;
    }
    platform::Canvas canvas(picture);
    const platform::Rect source{0, 0, decoded.width(), decoded.height()};
    if (Stretch) {
        canvas.StretchBlt(platform::Rect{0, 0, Width(), Height()}, decoded, source);
    } else {
        canvas.BitBlt(platform::Point{0, 0}, decoded, source);
    }
}

void AXImage::LoadAsGif(const std::string& path) {
    GIFData gif;
    gif.Load(path); // frames decoded before a failure are kept
    if (gif.FrameCount() == 0) {
        return;
    }
    const int screenWidth = gif.Width();
    const int screenHeight = gif.Height();
    QImage frame = platform::NewPicture(screenWidth, screenHeight);
    {
        platform::Canvas canvas(frame);
        gif.CurrentImage().Draw(canvas, 0, 0);
    }
    // A divisor below 1 would divide by zero; it counts as 1.
    const int divisor = std::max(ScaleDivisor, 1);
    if (SizeToPicture) {
        SetSize(screenWidth / divisor, screenHeight / divisor);
    }
    QImage& picture = SizedPicture();
    if (picture.isNull()) {
        return;
    }
    platform::Canvas canvas(picture);
    const platform::Rect source{0, 0, screenWidth, screenHeight};
    if (Stretch || divisor > 1) {
        canvas.StretchBlt(platform::Rect{0, 0, Width(), Height()}, frame, source);
    } else {
        canvas.BitBlt(platform::Point{0, 0}, frame, source);
    }
}

void AXImage::Paint(platform::Canvas& canvas) {
    if (picture_.isNull() || Width() == 0 || Height() == 0) {
        return;
    }
    const platform::Rect source{0, 0, picture_.width(), picture_.height()};
    if (Stretch) {
        canvas.StretchBlt(platform::Rect{0, 0, Width(), Height()}, picture_, source);
        return;
    }
    const int level = canvas.Save();
    canvas.IntersectClip(platform::Rect{0, 0, Width(), Height()});
    canvas.BitBlt(platform::Point{0, 0}, picture_, source);
    canvas.Restore(level);
}
