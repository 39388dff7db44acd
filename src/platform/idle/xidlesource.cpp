#include "platform/idle/xidlesource.h"

#include <cstdlib>
#include <xcb/screensaver.h>

namespace idle {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

} // namespace

std::unique_ptr<XIdleSource> XIdleSource::Open() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || display[0] == '\0') {
        return nullptr;
    }
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(
        xcb_connect(nullptr, &screenNumber));
    if (xcb_connection_has_error(connection.get()) != 0) {
        return nullptr;
    }
    const xcb_query_extension_reply_t* extension =
        xcb_get_extension_data(connection.get(), &xcb_screensaver_id);
    if (extension == nullptr || extension->present == 0) {
        return nullptr;
    }
    const Reply<xcb_screensaver_query_version_reply_t> version(xcb_screensaver_query_version_reply(
        connection.get(), xcb_screensaver_query_version(connection.get(), 1, 1), nullptr));
    if (!version) {
        return nullptr;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem == 0) {
        return nullptr;
    }
    const xcb_window_t root = it.data->root;
    return std::unique_ptr<XIdleSource>(new XIdleSource(std::move(connection), root));
}

std::string XIdleSource::Name() const {
    return "the X server's screen-saver extension";
}

std::optional<IdleReading> XIdleSource::Read() {
    xcb_connection_t* c = connection_.get();
    // Nothing is selected, but errors and stray events must not pile up.
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        std::free(event);
    }
    const xcb_screensaver_query_info_cookie_t infoCookie = xcb_screensaver_query_info(c, root_);
    const xcb_get_screen_saver_cookie_t saverCookie = xcb_get_screen_saver(c);
    const Reply<xcb_screensaver_query_info_reply_t> info(
        xcb_screensaver_query_info_reply(c, infoCookie, nullptr));
    const Reply<xcb_get_screen_saver_reply_t> saver(
        xcb_get_screen_saver_reply(c, saverCookie, nullptr));
    if (xcb_connection_has_error(c) != 0) {
        return std::nullopt;
    }
    IdleReading reading;
    if (!info || !saver) {
        return reading; // no idle time known: nothing starts
    }
    reading.idleMs = info->ms_since_user_input;
    switch (info->state) {
    case XCB_SCREENSAVER_STATE_DISABLED:
        reading.heldOffBy = "the X screen saver is switched off";
        break;
    case XCB_SCREENSAVER_STATE_ON:
    case XCB_SCREENSAVER_STATE_CYCLE:
        reading.blankerOn = true;
        break;
    default:
        if (saver->timeout > 0) {
            reading.heldOffKnownAfterMs =
                static_cast<std::uint64_t>(saver->timeout) * 1000 + kTimerMarginMs;
            if (reading.idleMs >= reading.heldOffKnownAfterMs) {
                reading.heldOffBy = "the X screen saver is suspended";
            }
        }
        break;
    }
    return reading;
}

void XIdleSource::LiftBlanker() {
    xcb_force_screen_saver(connection_.get(), XCB_SCREEN_SAVER_RESET);
    xcb_flush(connection_.get());
}

} // namespace idle
