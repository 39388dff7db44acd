#pragma once

// Picture readers of the image control: Windows bitmaps, JPEG (libjpeg-turbo) and the
// seam for metafiles. Every reader takes files that came from the network: a bad file
// gives a clear failure, never a crash, an exit or an unbounded allocation.
//
// Threads: any thread; nothing is shared between calls.

#include "platform/ui/drawing.h"

#include <QByteArray>
#include <QImage>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace platform {

// A bitmap file could not be read.
class PictureError : public std::runtime_error {
public:
    explicit PictureError(const std::string& what) : std::runtime_error(what) {}
};

// A Windows bitmap (BMP) file as a 32-bit RGB picture, read by the system's one bitmap
// reader (platform/dib.h), which metafiles use too. Throws PictureError when the file is
// missing or is not a readable bitmap.
QImage LoadBitmapFile(const std::string& path);
// The same from the bytes of a file; a null image when they are not a readable bitmap.
QImage DecodeBitmap(const QByteArray& bytes);

// JPEG pictures larger than this (in pixels, before scaling) count as unreadable.
constexpr long long kMaxJpegPixels = 64ll * 1024 * 1024;

// A JPEG file decoded at 1/divisor of its size by the decoder's own scaling (1, 2, 4 or
// 8; any other divisor decodes at full size), best-quality decoding, 24-bit colour, no
// block smoothing. A null image when the file cannot be read or decoded; the library's
// errors return here and never end the process.
QImage LoadJpegFile(const std::string& path, int divisor);
// The same from an open stream (not closed).
QImage DecodeJpeg(std::FILE* file, int divisor);
// The picture's full size from the file's header alone (no pixels decoded); nullopt when
// the header cannot be read or the picture is larger than kMaxJpegPixels.
std::optional<Size> ReadJpegSize(const std::string& path);
// The size LoadJpegFile gives a picture of that full size at that divisor (rounded up).
Size JpegScaledSize(Size full, int divisor);

// A metafile ready to draw: its own size in pixels and its player, which draws it onto a
// picture with its frame mapped onto a rectangle of that picture.
struct MetafilePicture {
    Size size;
    std::function<void(QImage&, const Rect&)> draw; // empty: nothing to draw
};

// Reads a WMF or EMF file (platform/metafileparse.h, drawn by platform/ui/metafile.h).
// An unreadable file gives the empty metafile (0 x 0, nothing to draw).
MetafilePicture LoadMetafile(const std::string& path);

} // namespace platform
