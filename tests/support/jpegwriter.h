#pragma once

// Writes JPEG files for tests and benchmarks with libjpeg, so no binary fixture is
// committed. Needs the JPEG library's headers (the Qt test executables have them).

#include <QImage>
#include <cstdio>
#include <jpeglib.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvar::test {

// Compresses image (any format) as a baseline JPEG; grayscale writes one component.
inline std::string JpegBytes(const QImage& source, int quality = 95, bool grayscale = false) {
    const QImage image = source.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = JDIMENSION(image.width());
    info.image_height = JDIMENSION(image.height());
    info.input_components = grayscale ? 1 : 3;
    info.in_color_space = grayscale ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(std::size_t(image.width()) * 3);
    while (info.next_scanline < info.image_height) {
        const uchar* line = image.constScanLine(int(info.next_scanline));
        if (grayscale) {
            for (int x = 0; x < image.width(); ++x) {
                row[std::size_t(x)] =
                    JSAMPLE((line[std::ptrdiff_t{3} * x] + line[std::ptrdiff_t{3} * x + 1] +
                             line[std::ptrdiff_t{3} * x + 2]) /
                            3);
            }
        } else {
            std::copy(line, line + row.size(), row.begin());
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return bytes;
}

} // namespace tolvar::test
