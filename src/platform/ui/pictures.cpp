#include "platform/ui/pictures.h"

#include "platform/dib.h"
#include "platform/metafileparse.h"
#include "platform/ui/metafile.h"

#include <QFile>
#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <jpeglib.h>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// libjpeg reports errors by calling error_exit, which by default ends the process; ours
// jumps back into DecodeInto. Only libjpeg's C frames lie between the two.
struct JpegErrorManager {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void JpegErrorExit(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrorManager*>(info->err)->jump, 1);
}

void JpegQuiet(j_common_ptr) {}

struct JpegOutput {
    QImage image;
    std::vector<JSAMPLE> row;
};

// Everything that outlives a jump lives in *out or *info, reached through pointers that
// do not change after setjmp.
bool DecodeInto(std::FILE* file, int divisor, jpeg_decompress_struct* info,
                JpegErrorManager* errors, JpegOutput* out) {
    info->err = jpeg_std_error(&errors->manager);
    errors->manager.error_exit = JpegErrorExit;
    errors->manager.output_message = JpegQuiet;
    if (setjmp(errors->jump) != 0) {
        jpeg_destroy_decompress(info);
        return false;
    }
    jpeg_create_decompress(info);
    jpeg_stdio_src(info, file);
    jpeg_read_header(info, TRUE);
    if (static_cast<long long>(info->image_width) * info->image_height > kMaxJpegPixels) {
        jpeg_destroy_decompress(info);
        return false;
    }
    info->scale_num = 1;
    info->scale_denom =
        (divisor == 2 || divisor == 4 || divisor == 8) ? static_cast<unsigned>(divisor) : 1;
    info->dct_method = JDCT_ISLOW;
    info->do_fancy_upsampling = TRUE;
    info->do_block_smoothing = FALSE;
    info->buffered_image = FALSE;
    info->quantize_colors = FALSE;
    const bool cmyk = info->jpeg_color_space == JCS_CMYK || info->jpeg_color_space == JCS_YCCK;
    info->out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(info);
    const int width = static_cast<int>(info->output_width);
    const int height = static_cast<int>(info->output_height);
    const int components = info->output_components;
    out->image = QImage(width, height, QImage::Format_RGB32);
    if (out->image.isNull() || (components != 3 && components != 4)) {
        jpeg_destroy_decompress(info);
        out->image = QImage();
        return false;
    }
    out->row.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(components));
    while (info->output_scanline < info->output_height) {
        const int y = static_cast<int>(info->output_scanline);
        JSAMPROW rows[1] = {out->row.data()};
        if (jpeg_read_scanlines(info, rows, 1) != 1) {
            break;
        }
        auto* d = reinterpret_cast<QRgb*>(out->image.scanLine(y));
        const JSAMPLE* s = out->row.data();
        if (components == 3) {
            for (int x = 0; x < width; ++x, s += 3) {
                d[x] = qRgb(s[0], s[1], s[2]);
            }
        } else {
            // Adobe writes CMYK inverted: each value is already 255 minus the ink.
            for (int x = 0; x < width; ++x, s += 4) {
                d[x] = qRgb(s[0] * s[3] / 255, s[1] * s[3] / 255, s[2] * s[3] / 255);
            }
        }
    }
    jpeg_finish_decompress(info);
    jpeg_destroy_decompress(info);
    return true;
}

} // namespace

QImage LoadBitmapFile(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        throw PictureError("Could not open bitmap " + path + ": " +
                           file.errorString().toStdString());
    }
    // A bitmap the reader can use is never larger than its pixels at 32 bits and a
    // colour table; anything longer is not read past that.
    constexpr qint64 kMaxBitmapFile = kMaxDibPixels * 4 + (1 << 20);
    const QByteArray bytes = file.read(std::min(file.size(), kMaxBitmapFile));
    if (file.error() != QFileDevice::NoError) {
        throw PictureError("Could not read bitmap " + path + ": " +
                           file.errorString().toStdString());
    }
    QImage image = DecodeBitmap(bytes);
    if (image.isNull()) {
        throw PictureError("Could not read bitmap " + path + ": not a readable bitmap");
    }
    return image;
}

QImage DecodeBitmap(const QByteArray& bytes) {
    const std::optional<DibPixels> pixels =
        ReadBitmapFile(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    return pixels ? PixelsToImage(*pixels) : QImage();
}

QImage DecodeJpeg(std::FILE* file, int divisor) {
    auto info = std::make_unique<jpeg_decompress_struct>();
    auto errors = std::make_unique<JpegErrorManager>();
    auto out = std::make_unique<JpegOutput>();
    std::memset(info.get(), 0, sizeof(jpeg_decompress_struct));
    if (!DecodeInto(file, divisor, info.get(), errors.get(), out.get())) {
        return {};
    }
    return std::move(out->image);
}

QImage LoadJpegFile(const std::string& path, int divisor) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return {};
    }
    return DecodeJpeg(file.get(), divisor);
}

namespace {

// The header of the stream read into *info; false on a fault (the jump lands here).
bool ReadJpegHeader(std::FILE* file, jpeg_decompress_struct* info, JpegErrorManager* errors) {
    info->err = jpeg_std_error(&errors->manager);
    errors->manager.error_exit = JpegErrorExit;
    errors->manager.output_message = JpegQuiet;
    if (setjmp(errors->jump) != 0) {
        jpeg_destroy_decompress(info);
        return false;
    }
    jpeg_create_decompress(info);
    jpeg_stdio_src(info, file);
    jpeg_read_header(info, TRUE);
    return true;
}

} // namespace

Size JpegScaledSize(Size full, int divisor) {
    const long long d = (divisor == 2 || divisor == 4 || divisor == 8) ? divisor : 1;
    return Size{int((full.width + d - 1) / d), int((full.height + d - 1) / d)};
}

std::optional<Size> ReadJpegSize(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return std::nullopt;
    }
    auto info = std::make_unique<jpeg_decompress_struct>();
    auto errors = std::make_unique<JpegErrorManager>();
    std::memset(info.get(), 0, sizeof(jpeg_decompress_struct));
    if (!ReadJpegHeader(file.get(), info.get(), errors.get())) {
        return std::nullopt;
    }
    const long long width = info->image_width;
    const long long height = info->image_height;
    jpeg_destroy_decompress(info.get());
    if (width * height > kMaxJpegPixels) {
        return std::nullopt;
    }
    return Size{int(width), int(height)};
}

MetafilePicture LoadMetafile(const std::string& path) {
    std::optional<Metafile> metafile = Metafile::Load(path);
    if (!metafile) {
        return {};
    }
    auto shared = std::make_shared<const Metafile>(std::move(*metafile));
    return {Size{shared->Width(), shared->Height()}, [shared](QImage& picture, const Rect& target) {
                DrawMetafile(picture, *shared, target);
            }};
}

} // namespace platform
