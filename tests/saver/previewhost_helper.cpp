// The other side of the saver's preview: a program that owns a small native window, the
// way the display settings do, for tests with a real X server.
//
//   previewhost_helper RRGGBB [hidden]
//
// Makes a 96 x 64 window filled with grey, shown unless "hidden" is given, and prints
// "window ID" (its X11 id in decimal). Every 20 ms it reads back what the screen shows of
// the window and prints "painted" each time the whole window turns the colour RRGGBB.
// SIGUSR1 shows a hidden window ("shown") or hides a shown one ("hidden"); SIGUSR2
// destroys the window ("destroyed"). Ends on SIGTERM.

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const char code = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &code, 1);
}

// Whether the corners and the middle of the window show the colour.
bool ShowsColour(QScreen* screen, WId id, QRgb colour) {
    const QImage shot = screen->grabWindow(id).toImage();
    if (shot.width() < 3 || shot.height() < 3) {
        return false;
    }
    const QPoint points[] = {{0, 0},
                             {shot.width() - 1, 0},
                             {0, shot.height() - 1},
                             {shot.width() - 1, shot.height() - 1},
                             {shot.width() / 2, shot.height() / 2}};
    for (const QPoint& p : points) {
        if ((shot.pixel(p) & 0xFFFFFFu) != (colour & 0xFFFFFFu)) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: previewhost_helper RRGGBB [hidden]\n";
        return 2;
    }
    const QRgb colour = std::stoul(argv[1], nullptr, 16);
    const bool startHidden = argc >= 3 && std::string(argv[2]) == "hidden";
    QApplication app(argc, argv);

    if (::pipe(signalPipe) != 0) {
        return 2;
    }
    std::signal(SIGUSR1, OnSignal);
    std::signal(SIGUSR2, OnSignal);

    auto host = std::make_unique<QWidget>();
    host->setFixedSize(96, 64);
    QPalette palette = host->palette();
    palette.setColor(QPalette::Window, QColor(0x80, 0x80, 0x80));
    host->setPalette(palette);
    host->setAutoFillBackground(true);
    const WId id = host->winId(); // the native window, made even while hidden
    if (!startHidden) {
        host->show();
    }
    std::cout << "window " << id << std::endl;

    bool painted = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const bool now = host && host->isVisible() && ShowsColour(app.primaryScreen(), id, colour);
        if (now && !painted) {
            std::cout << "painted" << std::endl;
        }
        painted = now;
    });
    poll.start(20);

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&] {
        char code = 0;
        if (::read(signalPipe[0], &code, 1) != 1) {
            return;
        }
        if (code == SIGUSR1 && host) {
            if (host->isVisible()) {
                host->hide();
                std::cout << "hidden" << std::endl;
            } else {
                host->show();
                std::cout << "shown" << std::endl;
            }
        } else if (code == SIGUSR2 && host) {
            host.reset();
            app.processEvents();
            std::cout << "destroyed" << std::endl;
        }
    });
    return app.exec();
}
