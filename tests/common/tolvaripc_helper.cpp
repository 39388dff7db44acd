// The other program of the protocol tests: tolvaripc_helper all|saver|ctrl
// Initialises the protocol, opens a window, sets SaverWnd (saver) or CtrlWnd (ctrl) to
// it, binds the role's handlers, prints "ready <handle>", then one line per message:
// what ipchelper::Describe gives, then "ctrl <CtrlWnd>".

#include "tolvaripc_helper.h"

#include "platform/bus.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    const std::string role = argc >= 2 ? argv[1] : "";
    ipchelper::Role r = ipchelper::Role::All;
    if (role == "saver") {
        r = ipchelper::Role::Saver;
    } else if (role == "ctrl") {
        r = ipchelper::Role::Ctrl;
    } else if (role != "all") {
        std::fprintf(stderr, "usage: tolvaripc_helper all|saver|ctrl\n");
        return 2;
    }
    platform::Bus bus;
    std::vector<std::string> calls;
    const platform::WindowHandle window =
        bus.CreateWindow([&](platform::WindowHandle, const platform::Message& m) -> std::int64_t {
            calls.clear();
            const bool handled = IpcDispatch(m);
            std::printf("%s\nctrl %lld\n", ipchelper::Describe(m, handled, calls).c_str(),
                        static_cast<long long>(CtrlWnd.load()));
            std::fflush(stdout);
            return 0;
        });
    IpcInit(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
    if (r == ipchelper::Role::Saver) {
        SaverWnd = window;
    } else if (r == ipchelper::Role::Ctrl) {
        CtrlWnd = window;
    }
    ipchelper::BindHandlers(r, calls);
    std::printf("ready %lld\n", static_cast<long long>(window));
    std::fflush(stdout);
    bus.Run();
    return 0;
}
