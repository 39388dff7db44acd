// GIF decoding beside giflib: a 1024 x 768 picture, a 100-frame animation and a set of
// small thumbnails, each decoded through to the composed first frame on a picture (what
// the image control does). Bytes per second count the file's bytes.

#include "../tests/support/gifwriter.h"
#include "platform/ui/drawing.h"
#include "saver/gifimage.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <gif_lib.h>
#include <random>
#include <string>
#include <vector>

namespace {

using tolvar::test::GifColour;
using tolvar::test::GifWriter;

std::vector<GifColour> Palette(int n) {
    std::vector<GifColour> table(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        table[std::size_t(i)] = {std::uint8_t(i * 53), std::uint8_t(i * 101),
                                 std::uint8_t(i * 197)};
    }
    return table;
}

// A photo-like picture: smooth gradients with some noise, as layouts and banners are.
std::vector<std::uint8_t> Picture(int w, int h, int seed) {
    std::mt19937 random(static_cast<unsigned>(seed));
    std::vector<std::uint8_t> pixels(std::size_t(w) * std::size_t(h));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int v = (x / 4 + y / 3 + seed * 7) % 224 + int(random() % 32);
            pixels[std::size_t(y) * std::size_t(w) + std::size_t(x)] = std::uint8_t(v);
        }
    }
    return pixels;
}

std::string Large() {
    return GifWriter(1024, 768, Palette(256))
        .Descriptor(0, 0, 1024, 768)
        .Pixels(8, Picture(1024, 768, 1))
        .Trailer()
        .Bytes();
}

std::string Animation() {
    GifWriter w(320, 240, Palette(256));
    w.Application()
        .GraphicControl(1, 10)
        .Descriptor(0, 0, 320, 240)
        .Pixels(8, Picture(320, 240, 2));
    for (int i = 1; i < 100; ++i) {
        const auto x = std::uint16_t((i * 37) % 240), y = std::uint16_t((i * 23) % 160);
        w.GraphicControl(i % 3 == 0 ? 2 : 1, 10, 0)
            .Descriptor(x, y, 80, 80)
            .Pixels(8, Picture(80, 80, i));
    }
    return w.Trailer().Bytes();
}

std::vector<std::string> Thumbnails() {
    std::vector<std::string> files;
    for (int i = 0; i < 50; ++i) {
        files.push_back(GifWriter(64, 48, Palette(64), 0, 5)
                            .GraphicControl(0, 0, i % 2 ? 3 : -1)
                            .Descriptor(0, 0, 64, 48, i % 4 == 0)
                            .Pixels(6, Picture(64, 48, i))
                            .Trailer()
                            .Bytes());
    }
    return files;
}

void OursOnce(const std::string& bytes) {
    std::FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    GIFData gif;
    gif.Load(f, "bench.gif");
    std::fclose(f);
    if (gif.FrameCount() > 0) {
        QImage picture = platform::NewPicture(gif.Width(), gif.Height());
        platform::Canvas canvas(picture);
        gif.CurrentImage().Draw(canvas, 0, 0);
        benchmark::DoNotOptimize(picture.constBits());
    }
}

struct Memory {
    const std::string* bytes;
    std::size_t pos;
};

int Read(GifFileType* gif, GifByteType* out, int n) {
    auto* m = static_cast<Memory*>(gif->UserData);
    const std::size_t count = std::min(std::size_t(n), m->bytes->size() - m->pos);
    std::memcpy(out, m->bytes->data() + m->pos, count);
    m->pos += count;
    return int(count);
}

// giflib reads every frame; the first is composed onto a picture over the background.
void GiflibOnce(const std::string& bytes) {
    Memory memory{&bytes, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&memory, Read, &error);
    if (gif == nullptr) {
        return;
    }
    if (DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0) {
        const SavedImage& image = gif->SavedImages[0];
        const ColorMapObject* map =
            image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
        QImage picture = platform::NewPicture(gif->SWidth, gif->SHeight);
        const int w = image.ImageDesc.Width, h = image.ImageDesc.Height;
        for (int y = 0; y < h && image.ImageDesc.Top + y < gif->SHeight; ++y) {
            auto* row = reinterpret_cast<QRgb*>(picture.scanLine(image.ImageDesc.Top + y));
            for (int x = 0; x < w && image.ImageDesc.Left + x < gif->SWidth; ++x) {
                const int index = image.RasterBits[y * w + x];
                QRgb c = qRgb(0, 0, 0);
                if (map != nullptr && index < map->ColorCount) {
                    c = qRgb(map->Colors[index].Red, map->Colors[index].Green,
                             map->Colors[index].Blue);
                }
                row[image.ImageDesc.Left + x] = c;
            }
        }
        benchmark::DoNotOptimize(picture.constBits());
    }
    DGifCloseFile(gif, &error);
}

template <void (*Decode)(const std::string&)>
void Single(benchmark::State& state, const std::string& bytes, int frames) {
    for (auto _ : state) {
        Decode(bytes);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bytes.size()));
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()) * frames, benchmark::Counter::kIsRate);
}

template <void (*Decode)(const std::string&)>
void Set(benchmark::State& state, const std::vector<std::string>& files) {
    std::size_t bytes = 0;
    for (const auto& f : files) {
        bytes += f.size();
    }
    for (auto _ : state) {
        for (const auto& f : files) {
            Decode(f);
        }
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bytes));
    state.counters["files/s"] = benchmark::Counter(
        double(state.iterations()) * double(files.size()), benchmark::Counter::kIsRate);
}

const std::string& LargeFile() {
    static const std::string bytes = Large();
    return bytes;
}
const std::string& AnimationFile() {
    static const std::string bytes = Animation();
    return bytes;
}
const std::vector<std::string>& ThumbnailFiles() {
    static const std::vector<std::string> files = Thumbnails();
    return files;
}

void BM_Large_Ours(benchmark::State& s) {
    Single<OursOnce>(s, LargeFile(), 1);
}
void BM_Large_Giflib(benchmark::State& s) {
    Single<GiflibOnce>(s, LargeFile(), 1);
}
void BM_Animation100_Ours(benchmark::State& s) {
    Single<OursOnce>(s, AnimationFile(), 100);
}
void BM_Animation100_Giflib(benchmark::State& s) {
    Single<GiflibOnce>(s, AnimationFile(), 100);
}
void BM_Thumbnails50_Ours(benchmark::State& s) {
    Set<OursOnce>(s, ThumbnailFiles());
}
void BM_Thumbnails50_Giflib(benchmark::State& s) {
    Set<GiflibOnce>(s, ThumbnailFiles());
}

BENCHMARK(BM_Large_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Large_Giflib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Animation100_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Animation100_Giflib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Thumbnails50_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Thumbnails50_Giflib)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
