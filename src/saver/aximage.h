#pragma once

// AXImage, the picture loader of both programs: it reads a bitmap, metafile, JPEG or GIF
// file chosen by the file's extension into its own picture, can size itself to the
// picture and shrinks JPEG and GIF pictures by ScaleDivisor. It is a windowless (graphic)
// control: a picture, a size and a position, painted onto its host's surface when it has
// one. Most instances have no host and only hold one loaded picture; the background
// widget and the thumbnails derive from it.
//
// Owns its picture. Threads: used by the thread that made it (the main thread); its
// picture may be handed to other threads as a copy (QImage shares data copy-on-write).

#include "platform/ui/control.h"
#include "platform/ui/drawing.h"

#include <QImage>
#include <string>
#include <utility>

class AXImage : public platform::GraphicControl {
public:
    explicit AXImage(platform::ControlHost* host = nullptr) : GraphicControl(host) {}

    // When true, loading a metafile, JPEG or GIF sets the size from the picture.
    bool SizeToPicture = false;
    // 1, 2, 4 or 8: JPEGs decode at 1/ScaleDivisor, GIFs are shrunk by it.
    int ScaleDivisor = 1;
    // Paint the picture over the whole control instead of at its top-left corner.
    bool Stretch = false;

    // Chooses the reader by the lower-cased text behind the path's last "."; any other
    // extension loads nothing. A bitmap that cannot be read throws platform::PictureError
    // and leaves the picture as it was; every other failure is swallowed.
    void LoadFromFile(const std::string& path);

    // The loaded picture; null before the first load that makes one.
    const QImage& Picture() const { return picture_; }
    // Replaces the picture with one made elsewhere (a clock's face cut from the
    // background); the control's size stays as it is.
    void SetPicture(QImage picture) { picture_ = std::move(picture); }

    // Paints the picture at the control's top-left corner (the canvas's origin), or
    // stretched over the whole control when Stretch is on.
    void Paint(platform::Canvas& canvas) override;

private:
    void LoadAsBitmap(const std::string& path);
    void LoadAsMetafile(const std::string& path);
    void LoadAsJpeg(const std::string& path);
    void LoadAsGif(const std::string& path);
    // The picture as a bitmap of the control's size: the old picture kept at its top-left
    // corner, white where it did not reach.
    QImage& SizedPicture();

    QImage picture_;
};
