// The ticker paints a whole frame on every tick of its timer thread: the time of one
// frame while the band scrolls (cells rendered as items come into view, copied side by
// side otherwise), beside a plain copy of the same frame's pixels, at 1024 x 96 and
// 1920 x 100 with 320-pixel cells with title bars and word-wrapped titles (half of them
// with the more-marker). "x_copy" is the frame's time over the copy's, measured in the
// same run. BM_TickerPace runs a live ticker on its timer thread for 10 s at 32 ms a
// pixel (31.25 px/s) and reports the pace reached over the set one ("pace", 1 is exact);
// run it on a busy machine too.

#include "generatedfeeds.h"
#include "saver/aticker.h"
#include "saver/axmessagelist.h"

#include <QApplication>
#include <QImage>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <thread>

namespace {

using tolvar::bench::EnsureApp;

// One plain copy of a frame's pixels into another picture of the same size.
void CopyFrame(const QImage& from, QImage& to) {
    std::memcpy(to.bits(), from.constBits(), std::size_t(from.sizeInBytes()));
    benchmark::DoNotOptimize(to.constBits());
}

// Nanoseconds per plain copy of a width x height frame, over many copies.
double CopyNanos(int width, int height) {
    QImage from(width, height, QImage::Format_RGB32);
    from.fill(0x123456);
    QImage to(width, height, QImage::Format_RGB32);
    constexpr int kCopies = 2000;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kCopies; ++i) {
        CopyFrame(from, to);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()) / kCopies;
}

void BM_FrameCopy(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    QImage from(width, height, QImage::Format_RGB32);
    from.fill(0x123456);
    QImage to(width, height, QImage::Format_RGB32);
    for (auto _ : state) {
        CopyFrame(from, to);
    }
}
BENCHMARK(BM_FrameCopy)->Args({1024, 96})->Args({1920, 100})->Unit(benchmark::kMicrosecond);

void BM_TickerFrame(benchmark::State& state) {
    EnsureApp();
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    ATicker ticker;
    ticker.MessageWidth = 320;
    ticker.TitleHeight = 20;
    ticker.TitleFontSize = 12;
    ticker.BodyFontSize = 12;
    ticker.SetBounds(0, 0, width, height);
    AXMessageList source;
    for (int i = 0; i < 12; ++i) {
        auto* item = new AXMessage;
        item->ChannelName = "Kanal " + std::to_string(i);
        item->Title = "Eine Meldung mit einem Titel, der über mehrere Zeilen umbricht, Nr. " +
                      std::to_string(i);
        item->Link = i % 2 ? "https://example.com/" + std::to_string(i) : "";
        source.AddMessage(item);
    }
    ticker.SetMessages(&source);
    ticker.RebuildDisplayList();
    // Ticks driven here alone: the timer's interval is never reached.
    ticker.SetTickInterval(1'000'000'000);
    ticker.SetEnabled(true);
    const double copy = CopyNanos(width, height);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        ticker.TickerTick();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    const double frame =
        double(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()) /
        double(state.iterations());
    ticker.SetEnabled(false);
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["copy_us"] = copy / 1000.0;
    state.counters["x_copy"] = frame / copy;
    state.counters["cells/frame"] = double(ticker.CellsRendered()) / double(state.iterations());
}
BENCHMARK(BM_TickerFrame)->Args({1024, 96})->Args({1920, 100})->Unit(benchmark::kMicrosecond);

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_TickerPace(benchmark::State& state) {
    EnsureApp();
    constexpr int kInterval = 32;
    ATicker ticker;
    ticker.MessageWidth = 320;
    ticker.TitleHeight = 20;
    ticker.SetBounds(0, 0, 1024, 96);
    AXMessageList source;
    for (int i = 0; i < 12; ++i) {
        auto* item = new AXMessage;
        item->ChannelName = "Kanal " + std::to_string(i);
        item->Title = "Meldung " + std::to_string(i);
        source.AddMessage(item);
    }
    ticker.SetMessages(&source);
    ticker.RebuildDisplayList();
    ticker.SetTickInterval(kInterval);
    ticker.PaintFrame(); // fonts found and the first cells rendered before the clock runs
    double seconds = 0;
    double cpu = 0;
    std::int64_t moved = 0;
    for (auto _ : state) {
        const double cpuBefore = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        ticker.SetEnabled(true); // the pace counts from here
        std::this_thread::sleep_for(std::chrono::seconds(10));
        moved = ticker.PixelsMoved();
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu = ProcessCpuSeconds() - cpuBefore;
        ticker.SetEnabled(false);
    }
    // The whole process: the timer thread's ticks and frames (no window shows them here).
    state.counters["cpu_%"] = cpu / seconds * 100.0;
    state.counters["px/s"] = double(moved) / seconds;
    state.counters["set_px/s"] = 1000.0 / kInterval;
    state.counters["pace"] = double(moved) / seconds / (1000.0 / kInterval);
}
BENCHMARK(BM_TickerPace)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
