#pragma once

// What the saver benchmarks read: a Qt application on the offscreen platform, and feeds of
// channels x items written into a folder, each item with a 160 x 120 picture of its own
// (a pattern that compresses like a photograph), every title long enough to wrap; and the
// screen they are shown on.

#include "../tests/support/jpegwriter.h"
#include "common/layoutfile.h"

#include <QApplication>
#include <QImage>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tolvar::bench {

inline void EnsureApp() {
    static int argc = 1;
    static char name[] = "saver-bench";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static QApplication* app = new QApplication(argc, argv);
        (void)app;
    }
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

enum class PictureKind { Jpeg, Bmp };

// Cache keys and file names: feed n is "#feed-n" in "feed-n.xml" (channel title
// "Kanal n"), item i's picture "#pic-n-i" in "pic-n-i.jpg" or ".bmp".
struct GeneratedFeeds {
    std::vector<std::pair<std::string, std::string>> feeds;
    std::vector<std::pair<std::string, std::string>> pictures;
};

inline GeneratedFeeds WriteFeeds(const std::string& folder, int channels, int items,
                                 PictureKind kind) {
    GeneratedFeeds written;
    QImage picture(160, 120, QImage::Format_RGB32);
    for (int c = 0; c < channels; ++c) {
        const std::string n = std::to_string(c);
        std::string feed = "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
                           " xmlns=\"http://purl.org/rss/1.0/\""
                           " xmlns:content=\"http://purl.org/rss/1.0/modules/content/\">"
                           "<channel><title>Kanal " +
                           n + "</title></channel>";
        for (int i = 0; i < items; ++i) {
            const std::string key = "#pic-" + n + "-" + std::to_string(i);
            const std::string file = "pic-" + n + "-" + std::to_string(i) +
                                     (kind == PictureKind::Jpeg ? ".jpg" : ".bmp");
            picture.fill(qRgb(c * 5 % 256, i * 8 % 256, 128));
            for (int y = 0; y < picture.height(); y += 7) {
                for (int x = 0; x < picture.width(); ++x) {
                    picture.setPixel(x, y, qRgb(x, y, (x + y + c + i) % 256));
                }
            }
            if (kind == PictureKind::Jpeg) {
                WriteFile(folder + "/" + file, tolvar::test::JpegBytes(picture, 85));
            } else {
                picture.save(QString::fromStdString(folder + "/" + file), "BMP");
            }
            written.pictures.emplace_back(key, file);
            feed += "<item><title>Meldung " + std::to_string(i) + " aus Kanal " + n +
                    ", mit einem Titel, der über mehrere Zeilen umbricht</title>"
                    "<description>Ein Text zur Meldung.</description>"
                    "<link>https://example.com/" +
                    n + "/" + std::to_string(i) +
                    "</link><content:items><rdf:Bag><rdf:li><content:item rdf:about=\"" + key +
                    "\"/></rdf:li></rdf:Bag></content:items></item>";
        }
        feed += "</rdf:RDF>";
        WriteFile(folder + "/feed-" + n + ".xml", feed);
        written.feeds.emplace_back("#feed-" + n, "feed-" + n + ".xml");
    }
    return written;
}

// A 1280 x 1024 screen with a message window and a ticker of 320-pixel cells.
inline LF BenchLayout() {
    LF layout;
    LFScreen screen;
    screen.width = 1280;
    screen.height = 1024;
    auto window = std::make_unique<LFScreenMessagewindow>();
    window->left = 40;
    window->top = 40;
    window->width = 500;
    window->minheight = 100;
    window->maxheight = 400;
    window->title = std::make_unique<LFScreenMessagewindowLayout>();
    window->title->fontsize = 14;
    window->title->height = 22;
    window->body = std::make_unique<LFScreenMessagewindowLayout>();
    window->body->fontsize = 12;
    screen.messagewindow = std::move(window);
    auto ticker = std::make_unique<LFScreenTicker>();
    ticker->top = 900;
    ticker->width = 1280;
    ticker->height = 100;
    ticker->messagewidth = 320;
    ticker->title = std::make_unique<LFScreenTickerLayout>();
    ticker->title->fontsize = 12;
    ticker->title->height = 20;
    ticker->title->border = 2;
    ticker->body = std::make_unique<LFScreenTickerLayout>();
    ticker->body->fontsize = 12;
    screen.ticker = std::move(ticker);
    layout.screens.push_back(std::move(screen));
    return layout;
}

} // namespace tolvar::bench
