#include "common/ipcendpoint.h"

#include <cstdio>
#include <utility>

IpcEndpoint::IpcEndpoint(Role role, Queue queue, const std::string& program, OwnMessages own)
    : role_(role), own_(std::move(own)) {
    if (queue == Queue::Drop || IpcMessageId() == 0) {
        IpcInit(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
    }
    platform::Bus* bus = platform::Bus::Instance();
    if (bus == nullptr) {
        return;
    }
    try {
        window_ = bus->CreateWindow(
            [this](platform::WindowHandle, const platform::Message& m) { return Procedure(m); });
    } catch (const platform::BusError& e) {
        // Without a window the program hears nothing from the other one, but everything
        // else it does still works: a form is never left half made for this.
        failure_ = program +
                   ": no window on the message bus, messages from the other "
                   "program are not received: " +
                   e.what();
        std::fprintf(stderr, "%s\n", failure_.c_str());
        return;
    }
    WindowField() = window_;
}

IpcEndpoint::~IpcEndpoint() {
    Unbind();
    if (window_ != 0) {
        if (platform::Bus* bus = platform::Bus::Instance()) {
            bus->DestroyWindow(window_);
        }
    }
}

std::atomic<platform::WindowHandle>& IpcEndpoint::WindowField() const {
    return role_ == Role::Saver ? SaverWnd : CtrlWnd;
}

void IpcEndpoint::Bind(IpcHandlerSlots handlers) {
    IpcHandlers = std::move(handlers);
}

void IpcEndpoint::Unbind() {
    IpcHandlers = IpcHandlerSlots{};
    if (window_ != 0 && WindowField().load() == window_) {
        WindowField() = 0;
    }
}

std::int64_t IpcEndpoint::Procedure(const platform::Message& message) const {
    if (IpcDispatch(message)) {
        return 0;
    }
    return own_ ? own_(message) : 0;
}
