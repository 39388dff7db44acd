// tolvar-inspect image FILE ...: loads a picture through the image control with the given
// settings and writes the control's picture as PNG, printing its size. It needs no
// display: the picture is drawn in memory under a GUI application of Qt's offscreen
// platform, which the fonts of a metafile's text need.

#include "command.h"
#include "platform/ui/pictures.h"
#include "saver/aximage.h"

#include <QGuiApplication>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace {

int ParseInt(const std::string& text, const char* what) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < -100000 || v > 100000) {
        throw inspect::UsageError{std::string("bad ") + what + " \"" + text + "\""};
    }
    return int(v);
}

// The offscreen platform whatever QT_QPA_PLATFORM or DISPLAY say: nothing is shown, and
// a missing display must not end the tool.
std::unique_ptr<QGuiApplication> MakeOffscreenApplication() {
    if (QGuiApplication::instance() != nullptr) {
        return nullptr;
    }
    static int argc = 3;
    static char name[] = "tolvar-inspect";
    static char platformOption[] = "-platform";
    static char platform[] = "offscreen";
    static char* argv[] = {name, platformOption, platform, nullptr};
    return std::make_unique<QGuiApplication>(argc, argv);
}

struct Options {
    std::string file, png;
    int divisor = 1;
    std::optional<std::pair<int, int>> size;
    bool stretch = false;
    bool sizeToPicture = false;
};

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                throw inspect::UsageError{a + " needs a value"};
            }
            return args[++i];
        };
        if (a == "--divisor") {
            o.divisor = ParseInt(value(), "divisor");
        } else if (a == "--size") {
            const std::string& size = value();
            const auto x = size.find('x');
            if (x == std::string::npos) {
                throw inspect::UsageError{"--size takes WxH"};
            }
            o.size.emplace(ParseInt(size.substr(0, x), "width"),
                           ParseInt(size.substr(x + 1), "height"));
        } else if (a == "--stretch") {
            o.stretch = true;
        } else if (a == "--size-to-picture") {
            o.sizeToPicture = true;
        } else if (a == "--png") {
            o.png = value();
        } else if (!a.empty() && a[0] == '-') {
            throw inspect::UsageError{"unknown option " + a};
        } else if (o.file.empty()) {
            o.file = a;
        } else {
            throw inspect::UsageError{"expected one picture file"};
        }
    }
    if (o.file.empty() || o.png.empty()) {
        throw inspect::UsageError{"expected a picture file and --png OUT"};
    }
    return o;
}

int Run(const std::vector<std::string>& args) {
    const Options o = ParseOptions(args);
    // Made before the control and ended after it: the control's pictures and fonts
    // belong to the application.
    const auto app = MakeOffscreenApplication();
    AXImage image;
    image.ScaleDivisor = o.divisor;
    if (o.size) {
        image.SetSize(o.size->first, o.size->second);
    }
    image.Stretch = o.stretch;
    image.SizeToPicture = o.sizeToPicture;
    const std::string& file = o.file;
    const std::string& png = o.png;
    try {
        image.LoadFromFile(file);
    } catch (const platform::PictureError& e) {
        std::cerr << "tolvar-inspect image: " << e.what() << '\n';
        return 1;
    }
    std::cout << "control " << image.Width() << "x" << image.Height() << ", picture "
              << image.Picture().width() << "x" << image.Picture().height() << '\n';
    if (image.Picture().isNull()) {
        std::cerr << "tolvar-inspect image: no picture loaded\n";
        return 1;
    }
    if (!image.Picture().save(QString::fromStdString(png), "PNG")) {
        std::cerr << "tolvar-inspect image: could not write " << png << '\n';
        return 1;
    }
    return 0;
}

const inspect::Command command(
    "image", "FILE [--divisor N] [--size WxH] [--stretch] [--size-to-picture] --png OUT",
    "loads a picture through the image control with these settings, writes its picture as PNG "
    "and prints the control's and the picture's size (exit 1 when nothing was loaded)",
    Run);

} // namespace
