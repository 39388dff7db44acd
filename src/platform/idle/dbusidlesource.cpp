#include "platform/idle/dbusidlesource.h"

#include <cstdlib>
#include <string>

namespace idle {

namespace {

struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

constexpr dbus_uint32_t kInhibitIdle = 8;

constexpr DBusIdleSource::Desktop kDesktops[] = {
    {nullptr,
     {"org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
      "org.gnome.Mutter.IdleMonitor", "GetIdletime", false, nullptr},
     {{"org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager",
       "IsInhibited", true, "an idle inhibitor of the session"},
      {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver", "org.gnome.ScreenSaver", "GetActive",
       false, "the desktop's screen saver is active"}}},
    {"KDE",
     {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
      "GetSessionIdleTime", false, nullptr},
     {{"org.freedesktop.PowerManagement", "/org/freedesktop/PowerManagement/Inhibit",
       "org.freedesktop.PowerManagement.Inhibit", "HasInhibit", false,
       "an idle inhibitor of the session"},
      {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
       "GetActive", false, "the desktop's screen saver is active"}}},
};

// Whether $XDG_CURRENT_DESKTOP (names separated by ":") holds name.
bool CurrentDesktopIs(const char* name) {
    const char* desktops = std::getenv("XDG_CURRENT_DESKTOP");
    if (desktops == nullptr) {
        return false;
    }
    const std::string list = std::string(":") + desktops + ":";
    return list.find(std::string(":") + name + ":") != std::string::npos;
}

Message Invoke(DBusConnection* connection, const DBusIdleSource::Call& call) {
    Message request(
        dbus_message_new_method_call(call.service, call.path, call.interface, call.method));
    if (!request) {
        return nullptr;
    }
    // Asking must not start a service the desktop does not run.
    dbus_message_set_auto_start(request.get(), FALSE);
    if (call.withIdleFlag) {
        dbus_uint32_t flag = kInhibitIdle;
        if (!dbus_message_append_args(request.get(), DBUS_TYPE_UINT32, &flag, DBUS_TYPE_INVALID)) {
            return nullptr;
        }
    }
    DBusError error;
    dbus_error_init(&error);
    Message reply(dbus_connection_send_with_reply_and_block(
        connection, request.get(), DBusIdleSource::kCallTimeoutMs, &error));
    dbus_error_free(&error);
    return reply;
}

// The first argument of a reply as a number (unsigned 32 or 64 bits) or a boolean.
std::optional<std::uint64_t> FirstNumber(DBusMessage* reply) {
    DBusMessageIter it;
    if (reply == nullptr || !dbus_message_iter_init(reply, &it)) {
        return std::nullopt;
    }
    switch (dbus_message_iter_get_arg_type(&it)) {
    case DBUS_TYPE_UINT64: {
        dbus_uint64_t v = 0;
        dbus_message_iter_get_basic(&it, &v);
        return v;
    }
    case DBUS_TYPE_UINT32: {
        dbus_uint32_t v = 0;
        dbus_message_iter_get_basic(&it, &v);
        return v;
    }
    case DBUS_TYPE_BOOLEAN: {
        dbus_bool_t v = FALSE;
        dbus_message_iter_get_basic(&it, &v);
        return v ? 1 : 0;
    }
    default:
        return std::nullopt;
    }
}

} // namespace

std::unique_ptr<DBusIdleSource> DBusIdleSource::Open() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || address[0] == '\0') {
        // Without an address libdbus would try to autolaunch a bus: no session bus here.
        return nullptr;
    }
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* raw = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
    dbus_error_free(&error);
    if (raw == nullptr) {
        return nullptr;
    }
    std::unique_ptr<DBusConnection, ConnectionCloser> connection(raw);
    // The end of the bus ends the session: told by Read, never by exiting inside libdbus.
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    for (const Desktop& desktop : kDesktops) {
        if (desktop.name != nullptr && !CurrentDesktopIs(desktop.name)) {
            continue;
        }
        const Message reply = Invoke(connection.get(), desktop.idle);
        if (FirstNumber(reply.get())) {
            return std::unique_ptr<DBusIdleSource>(
                new DBusIdleSource(std::move(connection), desktop));
        }
    }
    return nullptr;
}

std::string DBusIdleSource::Name() const {
    return std::string("the desktop's idle service on the session bus (") + desktop_->idle.service +
           ")";
}

std::optional<IdleReading> DBusIdleSource::Read() {
    DBusConnection* c = connection_.get();
    // Signals addressed to everybody are not wanted here; drop them as they come.
    dbus_connection_read_write(c, 0);
    while (DBusMessage* stray = dbus_connection_pop_message(c)) {
        dbus_message_unref(stray);
    }
    if (!dbus_connection_get_is_connected(c)) {
        return std::nullopt;
    }
    IdleReading reading;
    const Message idleReply = Invoke(c, desktop_->idle);
    const std::optional<std::uint64_t> idleMs = FirstNumber(idleReply.get());
    if (!idleMs) {
        return reading; // no idle time known: nothing starts
    }
    reading.idleMs = *idleMs;
    for (const Call& call : desktop_->holdOffs) {
        const Message reply = Invoke(c, call);
        if (FirstNumber(reply.get()).value_or(0) != 0) {
            reading.heldOffBy = call.heldOffText;
            break;
        }
    }
    return reading;
}

} // namespace idle
