// tolvar-inspect screensaver: the system screen-saver entry, its active switch and whether
// a screen saver runs, as the control program decides it. Built with the GUI layer and
// given an X display, the tool asks the desktop's own screen saver too, as the control
// program does; otherwise "desktopSaverOn" is null.

#include "command.h"
#include "json.h"
#include "platform/screensaver.h"

#include <cstdlib>
#include <iostream>
#include <memory>

#ifdef TOLVAR_INSPECT_GUI
#include "platform/ui/desktopsaver.h"

#include <QGuiApplication>
#endif

namespace {

int RunScreenSaver(const std::vector<std::string>& args) {
    if (!args.empty()) {
        throw inspect::UsageError{"takes no arguments"};
    }
    inspect::JsonWriter json(std::cout);
    json.BeginObject();
    json.Field("registered", platform::RegisteredScreenSaver())
        .Field("active", platform::IsScreenSaverActive())
        .Field("saverScreenShown", platform::IsSaverScreenShown());
#ifdef TOLVAR_INSPECT_GUI
    std::unique_ptr<QGuiApplication> app;
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr && *display != '\0') {
        static int argc = 3;
        static char program[] = "tolvar-inspect";
        static char option[] = "-platform";
        static char xcb[] = "xcb";
        static char* argv[] = {program, option, xcb, nullptr};
        app = std::make_unique<QGuiApplication>(argc, argv);
        platform::BindDesktopScreenSaverProbe();
        json.Field("desktopSaverOn", platform::IsDesktopScreenSaverOn());
    } else {
        json.Key("desktopSaverOn").Null();
    }
#else
    json.Key("desktopSaverOn").Null();
#endif
    json.Field("running", platform::IsScreenSaverRunning());
    json.EndObject();
    json.Finish();
#ifdef TOLVAR_INSPECT_GUI
    platform::SetDesktopScreenSaverProbe({});
#endif
    return 0;
}

const inspect::Command kScreenSaver("screensaver", "",
                                    "the system screen saver and whether a screen saver runs",
                                    RunScreenSaver);

} // namespace
