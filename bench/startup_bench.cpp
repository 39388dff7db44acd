// The saver's start-up as far as the screen builder takes it: the screen built (a message
// window and a ticker on a 1280 x 1024 host), the subscribed channels' cached feeds read
// into items with their thumbnails, and the first full frame (the ticker's frame painted
// and the whole host rendered with its widgets). On a generated cache of 50 channels x 30
// items, each item with a picture of its own, beside the same on 3 channels x 5 items:
// "x_3x5" is the large cache's time over the small one's, measured in the same run, and
// "rss_MiB" the process's resident memory once the large cache is shown.

#include "common/cache.h"
#include "common/controlfile.h"
#include "common/layoutfile.h"
#include "generatedfeeds.h"
#include "platform/ui/control.h"
#include "saver/layoutcontrol.h"

#include <QApplication>
#include <QImage>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

using tolvar::bench::BenchLayout;
using tolvar::bench::EnsureApp;

// A cache folder with channels x items: one feed per channel, one 160 x 120 JPEG per item.
struct GeneratedCache {
    GeneratedCache(int channels, int items) {
        char pattern[] = "/tmp/startup-bench-XXXXXX";
        folder = ::mkdtemp(pattern);
        tolvar::bench::GeneratedFeeds written =
            tolvar::bench::WriteFeeds(folder, channels, items, tolvar::bench::PictureKind::Jpeg);
        entries = std::move(written.pictures);
        feeds = std::move(written.feeds);
        for (int c = 0; c < channels; ++c) {
            CFChannel channel;
            channel.title = "Kanal " + std::to_string(c);
            channel.uri = feeds[std::size_t(c)].first;
            channel.subscribed = true;
            control.channels.push_back(channel);
        }
    }
    ~GeneratedCache() { std::system(("rm -rf '" + folder + "'").c_str()); }

    std::string folder;
    std::vector<std::pair<std::string, std::string>> entries;
    std::vector<std::pair<std::string, std::string>> feeds;
    CF control;
};

// One start: builds the screen on a fresh host, loads the channels and paints the first
// full frame. Seconds.
double StartOnce(const GeneratedCache& generated) {
    const auto start = std::chrono::steady_clock::now();
    CC cache(generated.folder);
    // Serials as std::string(1, '1'), not = "1": GCC 12 at -O3 warns falsely (-Wrestrict)
    // on that assignment, and the build treats warnings as errors.
    for (const auto& [uri, file] : generated.feeds) {
        auto entry = std::make_unique<CCObject>();
        entry->uri = uri;
        entry->file = file;
        entry->serial = std::string(1, '1');
        cache.entries.Add(std::move(entry));
    }
    for (const auto& [uri, file] : generated.entries) {
        auto entry = std::make_unique<CCObject>();
        entry->uri = uri;
        entry->file = file;
        entry->serial = std::string(1, '1');
        cache.entries.Add(std::move(entry));
    }
    platform::ControlHost host;
    host.resize(1280, 1024);
    LayoutControl screen(&host);
    screen.area = {0, 0, 1280, 1024};
    screen.cache = &cache;
    screen.RefreshRate = [] { return 60.0; };
    screen.loadThumbnails = std::getenv("NO_THUMBS") == nullptr;
    const LF layout = BenchLayout();
    screen.BuildScreen(layout, 1280, "", 1024);
    screen.LoadChannels(&generated.control);
    screen.SetSuspended(true);
    if (ATicker* ticker = screen.Ticker()) {
        ticker->PaintFrame();
    }
    QImage shown(host.size(), QImage::Format_RGB32);
    host.render(&shown);
    benchmark::DoNotOptimize(shown.constBits());
    const auto took = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double>(took).count();
}

double ResidentMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atof(line.c_str() + 6) / 1024.0;
        }
    }
    return 0.0;
}

void BM_FirstFullFrame(benchmark::State& state) {
    EnsureApp();
    const GeneratedCache small(3, 5);
    const GeneratedCache large(int(state.range(0)), int(state.range(1)));
    StartOnce(small); // fonts and Qt's own start-up, once
    double smallTotal = 0;
    double largeTotal = 0;
    double rss = 0;
    for (auto _ : state) {
        smallTotal += StartOnce(small);
        largeTotal += StartOnce(large);
        rss = std::max(rss, ResidentMiB());
    }
    const double n = double(state.iterations());
    state.counters["3x5_ms"] = smallTotal / n * 1000.0;
    state.counters["large_ms"] = largeTotal / n * 1000.0;
    state.counters["x_3x5"] = largeTotal / smallTotal;
    state.counters["rss_MiB"] = rss;
}
BENCHMARK(BM_FirstFullFrame)->Args({50, 30})->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
