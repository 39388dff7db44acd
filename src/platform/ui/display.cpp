#include "platform/ui/display.h"

#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace platform {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::optional<std::string> XProblem() {
    const std::string display = Env("DISPLAY");
    if (display.empty()) {
        return std::string("no display: DISPLAY is not set");
    }
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    const int error = xcb_connection_has_error(connection);
    xcb_disconnect(connection); // also frees a connection in its error state
    if (error != 0) {
        return "cannot open the display \"" + display + "\": no X server accepts a connection";
    }
    return std::nullopt;
}

std::optional<std::string> WaylandProblem() {
    const std::string name = Env("WAYLAND_DISPLAY");
    if (name.empty()) {
        return std::string("no display: WAYLAND_DISPLAY is not set");
    }
    const std::string path = name.front() == '/' ? name : Env("XDG_RUNTIME_DIR") + "/" + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return "cannot open the Wayland display \"" + name + "\": its path is too long";
    }
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok =
        fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!ok) {
        return "cannot open the Wayland display \"" + name +
               "\": no compositor accepts a connection";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> DisplayProblem() {
    std::string platformName = Env("QT_QPA_PLATFORM");
    // "xcb:option=value" and "wayland;xcb" (a list of fallbacks): the first name counts.
    platformName = platformName.substr(0, platformName.find_first_of(":;"));
    if (platformName.empty()) {
        if (Env("WAYLAND_DISPLAY").empty()) {
            return XProblem();
        }
        // Qt falls back to X when its Wayland start fails: either display will do.
        if (!WaylandProblem()) {
            return std::nullopt;
        }
        return XProblem();
    }
    if (platformName == "xcb") {
        return XProblem();
    }
    if (platformName.rfind("wayland", 0) == 0) {
        return WaylandProblem();
    }
    return std::nullopt; // offscreen, minimal, vnc, ...: nothing to reach
}

} // namespace platform
