#pragma once

// Pictures for the tests of the Qt parts: a picture's bytes in a file format Qt writes,
// and a pixel as the drawing layer's colour.

#include "platform/ui/drawing.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <gtest/gtest.h>
#include <string>

namespace tolvar::test {

// The picture as a file of the format ("BMP", "PNG", "ICO", ...).
inline std::string ImageBytes(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format)) << format;
    return bytes.toStdString();
}

inline std::string BmpBytes(const QImage& image) {
    return ImageBytes(image, "BMP");
}

inline platform::Color PixelAt(const QImage& image, int x, int y) {
    return platform::FromQRgb(image.pixel(x, y));
}

} // namespace tolvar::test
