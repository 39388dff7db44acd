// JPEG decoding of a 1920 x 1080 picture at each divisor, as the image control reads
// layout backgrounds and thumbnails. Bytes per second count the file's bytes.

#include "../tests/support/jpegwriter.h"
#include "platform/ui/pictures.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <string>

namespace {

const std::string& HdJpeg() {
    static const std::string bytes = [] {
        QImage image(1920, 1080, QImage::Format_RGB32);
        for (int y = 0; y < 1080; ++y) {
            auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < 1920; ++x) {
                row[x] = qRgb((x / 8 + y / 5) % 256, (x * y / 97) % 256, ((x ^ y) / 3) % 256);
            }
        }
        return tolvar::test::JpegBytes(image, 85);
    }();
    return bytes;
}

void BM_Jpeg1920x1080(benchmark::State& state) {
    const std::string& bytes = HdJpeg();
    const int divisor = int(state.range(0));
    for (auto _ : state) {
        std::FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
        QImage image = platform::DecodeJpeg(f, divisor);
        std::fclose(f);
        benchmark::DoNotOptimize(image.constBits());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(bytes.size()));
    state.counters["pictures/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_Jpeg1920x1080)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
