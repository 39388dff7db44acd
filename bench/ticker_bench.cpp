// The ticker paints a whole frame on every tick of its timer thread: the time of one
// frame, against the tick interval it must fit in (20 to 60 ms at the usual speeds, never
// under the 1 ms period). A 1024 x 96 band of 320-pixel cells with title bars and
// word-wrapped titles (half of them with the more-marker), and a full-HD-wide band.

#include "saver/aticker.h"
#include "saver/axmessagelist.h"

#include <QApplication>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>

namespace {

void EnsureApp() {
    static int argc = 1;
    static char name[] = "ticker-bench";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static QApplication* app = new QApplication(argc, argv);
        (void)app;
    }
}

void BM_TickerFrame(benchmark::State& state) {
    EnsureApp();
    const int width = static_cast<int>(state.range(0));
    ATicker ticker;
    ticker.MessageWidth = 320;
    ticker.TitleHeight = 20;
    ticker.TitleFontSize = 12;
    ticker.BodyFontSize = 12;
    ticker.SetBounds(0, 0, width, 96);
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
    int offset = 1;
    for (auto _ : state) {
        ticker.CurrentMessageScrollOffset = offset;
        offset = offset % 320 + 1;
        ticker.PaintFrame();
    }
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TickerFrame)->Arg(1024)->Arg(1920)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
