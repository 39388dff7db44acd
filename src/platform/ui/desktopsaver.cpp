#include "platform/ui/desktopsaver.h"

#include "platform/screensaver.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#include <memory>
#include <xcb/screensaver.h>
#include <xcb/xcb.h>

namespace platform {

namespace {

constexpr const char* kService = "org.freedesktop.ScreenSaver";
constexpr const char* kPath = "/org/freedesktop/ScreenSaver";
constexpr const char* kInterface = "org.freedesktop.ScreenSaver";
constexpr int kBusAskEveryMs = 1000;
constexpr int kBusTimeoutMs = 2000;

xcb_connection_t* XConnection() {
    if (qGuiApp == nullptr || QGuiApplication::platformName() != QLatin1String("xcb")) {
        return nullptr;
    }
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

bool XScreenSaverOn() {
    xcb_connection_t* c = XConnection();
    if (c == nullptr) {
        return false;
    }
    const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    if (screens.rem <= 0) {
        return false;
    }
    xcb_generic_error_t* error = nullptr;
    // A server without the extension answers with an error: off.
    xcb_screensaver_query_info_reply_t* reply = xcb_screensaver_query_info_reply(
        c, xcb_screensaver_query_info(c, screens.data->root), &error);
    std::free(error);
    if (reply == nullptr) {
        return false;
    }
    const bool on = reply->state == XCB_SCREENSAVER_STATE_ON;
    std::free(reply);
    return on;
}

// The last answer of the session bus and whether a question is out.
struct BusState {
    bool active = false;
    bool asking = false;
    QElapsedTimer sinceAsked;
};

BusState& Bus() {
    static BusState state;
    return state;
}

void AskBus() {
    BusState& state = Bus();
    if (state.asking ||
        (state.sinceAsked.isValid() && state.sinceAsked.elapsed() < kBusAskEveryMs)) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    state.asking = true;
    state.sinceAsked.start();
    const QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetActive"));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kBusTimeoutMs));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [](QDBusPendingCallWatcher* finished) {
                         const QDBusPendingReply<bool> reply = *finished;
                         BusState& s = Bus();
                         // No service, or one that does not answer: nothing is on.
                         s.active = reply.isValid() && reply.value();
                         s.asking = false;
                         finished->deleteLater();
                     });
}

} // namespace

bool IsDesktopScreenSaverOn() {
    if (qGuiApp == nullptr) {
        return false;
    }
    AskBus();
    return XScreenSaverOn() || Bus().active;
}

void BindDesktopScreenSaverProbe() {
    SetDesktopScreenSaverProbe([] { return IsDesktopScreenSaverOn(); });
}

} // namespace platform
