// The saver's content reload seen from the GUI thread, which presents the ticker's frames:
// the longest gap between the GUI thread's 1 ms timer callbacks while a reload of a
// generated cache of 50 channels x 30 items (each item a thumbnail of its own) runs,
// with the reading done on the GUI thread as before ("inline_gap_ms") and on the reload's
// worker with only the swap on the GUI thread ("worker_gap_ms"), side by side in one run.
// "x_inline" is the inline gap over the worker's; "*_reload_ms" how long each reload took
// from its start to the swapped-in items. Args: channels, items, thumbnail kind (0 BMP,
// 1 JPEG: a JPEG is only sized at a reload and decoded when it is first shown). "stop_ms"
// is how long destroying the worker (the program's end) waits for a read in progress.

#include "common/cachedmodels.h"
#include "common/directories.h"
#include "common/layoutfile.h"
#include "generatedfeeds.h"
#include "platform/ui/control.h"
#include "saver/layoutcontrol.h"
#include "saver/reloadworker.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using tolvar::bench::BenchLayout;
using tolvar::bench::EnsureApp;
using tolvar::bench::WriteFile;

// A cache folder with its index: a control file of channels (subscribed by default), one
// feed per channel, one picture per item.
struct GeneratedCache {
    GeneratedCache(int channels, int items, bool jpeg) {
        char pattern[] = "/tmp/reload-bench-XXXXXX";
        root = ::mkdtemp(pattern);
        folder = root + "/Cache";
        ::mkdir(folder.c_str(), 0700);
        const tolvar::bench::GeneratedFeeds written = tolvar::bench::WriteFeeds(
            folder, channels, items,
            jpeg ? tolvar::bench::PictureKind::Jpeg : tolvar::bench::PictureKind::Bmp);
        std::string index;
        for (const auto& [key, file] : written.pictures) {
            index += file + "|1|" + key + "\r\n";
        }
        std::string control = "<content time=\"t\"><channels>";
        for (int c = 0; c < channels; ++c) {
            const std::string n = std::to_string(c);
            const auto& [uri, file] = written.feeds[std::size_t(c)];
            control += "<channel id=\"c" + n + "\" title=\"Kanal " + n + "\" uri=\"" + uri +
                       "\" subscriptiondefault=\"true\"/>";
            index += file + "|1|" + uri + "\r\n";
        }
        control += "</channels></content>";
        WriteFile(folder + "/control.xml", control);
        index += "control.xml|1|" + GetControlFileKey() + "\r\n";
        WriteFile(folder + "/cache.dir", index);
    }
    ~GeneratedCache() { std::system(("rm -rf '" + root + "'").c_str()); }

    std::string root;
    std::string folder;
};

struct Measure {
    double gapMs = 0;
    double reloadMs = 0;
};

// Runs the GUI thread's loop with a 1 ms timer, starts one reload 30 ms in (start gets a
// function to call once the items are swapped in) and goes on 30 ms after it is done.
Measure RunReload(const std::function<void(std::function<void()> swapped)>& start) {
    QElapsedTimer clock;
    clock.start();
    qint64 last = -1;
    qint64 longest = 0;
    qint64 startedAt = 0;
    qint64 doneAt = -1;
    QEventLoop loop;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (last >= 0) {
            longest = std::max(longest, now - last);
        }
        last = now;
        if (doneAt >= 0 && now - doneAt > 30'000'000) {
            loop.quit();
        }
    });
    tick.start();
    QTimer::singleShot(30, [&] {
        startedAt = clock.nsecsElapsed();
        start([&] { doneAt = clock.nsecsElapsed(); });
    });
    loop.exec();
    return {double(longest) / 1e6, double(doneAt - startedAt) / 1e6};
}

void BM_ReloadGuiGap(benchmark::State& state) {
    EnsureApp();
    const GeneratedCache generated(int(state.range(0)), int(state.range(1)), state.range(2) != 0);
    const std::string subscriptions = generated.root + "/subscriptions.dir"; // none: defaults
    const LF layout = BenchLayout();
    // A fresh screen for each reload: no thumbnail of an earlier one is alive to share, so
    // every reload reads and decodes all of its pictures, as one of all-new content does.
    struct Screen {
        explicit Screen(const LF& layout) : screen(&host) {
            host.resize(1280, 1024);
            screen.area = {0, 0, 1280, 1024};
            screen.RefreshRate = [] { return 60.0; };
            screen.BuildScreen(layout, 1280, "", 1024);
        }
        ~Screen() { screen.SetSuspended(true); }
        platform::ControlHost host;
        LayoutControl screen;
        std::unique_ptr<CC> cache;
    };
    double inlineGap = 0;
    double workerGap = 0;
    double inlineReload = 0;
    double workerReload = 0;
    std::size_t items = 0;
    double stopMs = 0;
    for (auto _ : state) {
        // As the reload ran before: everything on the GUI thread.
        Measure before;
        {
            Screen shown(layout);
            before = RunReload([&](const std::function<void()>& swapped) {
                CachedModels models = LoadCachedModels(generated.folder, subscriptions);
                shown.screen.SetChannels(
                    LayoutControl::ReadChannels(*models.controlFile, models.cache.get(), true));
                shown.cache = std::move(models.cache);
                shown.screen.cache = shown.cache.get();
                swapped();
            });
        }
        // Now: the reading on the worker, the swap on the GUI thread.
        Measure after;
        {
            Screen shown(layout);
            std::function<void()> whenSwapped;
            ReloadWorker worker([&](ReloadWorker::Result result, bool) {
                shown.cache = std::move(result.models.cache);
                shown.screen.cache = shown.cache.get();
                shown.screen.SetChannels(result.items);
                whenSwapped();
            });
            after = RunReload([&](std::function<void()> swapped) {
                whenSwapped = std::move(swapped);
                worker.Request({generated.folder, subscriptions, true}, false);
            });
            items = std::size_t(shown.screen.Messages().Count());
        }
        // Ending while a read runs: how long destroying the worker waits for it.
        {
            auto worker = std::make_unique<ReloadWorker>([](ReloadWorker::Result, bool) {});
            std::atomic<bool> begun{false};
            worker->OnReadStart = [&begun] { begun = true; };
            worker->Request({generated.folder, subscriptions, true}, false);
            while (!begun.load()) {
                std::this_thread::yield();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // well into the read
            QElapsedTimer clock;
            clock.start();
            worker.reset();
            stopMs = std::max(stopMs, double(clock.nsecsElapsed()) / 1e6);
        }
        inlineGap = std::max(inlineGap, before.gapMs);
        workerGap = std::max(workerGap, after.gapMs);
        inlineReload += before.reloadMs;
        workerReload += after.reloadMs;
    }
    const double n = double(state.iterations());
    state.counters["inline_gap_ms"] = inlineGap;
    state.counters["worker_gap_ms"] = workerGap;
    state.counters["x_inline"] = workerGap > 0 ? inlineGap / workerGap : 0;
    state.counters["inline_reload_ms"] = inlineReload / n;
    state.counters["worker_reload_ms"] = workerReload / n;
    state.counters["items"] = double(items);
    state.counters["stop_ms"] = stopMs;
}
BENCHMARK(BM_ReloadGuiGap)
    ->Args({50, 30, 0})
    ->Args({50, 30, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

} // namespace

BENCHMARK_MAIN();
