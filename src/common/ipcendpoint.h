#pragma once

// IpcEndpoint: one program's end of the inter-program protocol (tolvaripc.h), the part
// both main forms share: the protocol attached, the form's window on the message bus
// with every message offered to IpcDispatch first, the window field (SaverWnd or
// CtrlWnd) that names it, the handler slots the form binds, and the tear-down in the
// order the forms need: Unbind clears the handlers and the window field while the window
// still answers (a worker thread's last send is not left waiting), the destructor then
// removes the window.
//
// A window that cannot be made (the bus folder gone or unwritable, no socket) is not
// fatal: the endpoint says so on standard error in one line, the form goes on without a
// window (it still sends, by broadcast) and Window() is 0. Without any bus in the
// process nothing is made and nothing is said: the program's start has said it already.
//
// Owns its bus window. Not copyable. Main thread only (the bus delivers there).

#include "common/tolvaripc.h"
#include "platform/bus.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class IpcEndpoint {
public:
    // Which window field of the protocol names the endpoint's window.
    enum class Role { Saver, Control };
    // Whether making the endpoint drops the URL queue: always (IpcInit), or only when
    // the process has not attached to the protocol yet (the control program's start
    // attaches, and drops the queue only in the copy that claims the guard).
    enum class Queue { Drop, DropUnlessAttached };
    // The form's own reaction to a message that is not the protocol's; its result is the
    // send's answer.
    using OwnMessages = std::function<std::int64_t(const platform::Message&)>;

    // program names the program in the failure line ("Tolvar", "TolvarCtrl").
    IpcEndpoint(Role role, Queue queue, const std::string& program, OwnMessages own = {});
    ~IpcEndpoint();
    IpcEndpoint(const IpcEndpoint&) = delete;
    IpcEndpoint& operator=(const IpcEndpoint&) = delete;

    // The form's handlers, replacing every slot; the slots it leaves empty stay empty.
    void Bind(IpcHandlerSlots handlers);
    // Clears the handler slots and the window field (when it still names this window);
    // the window stays until the destructor. Called again by the destructor.
    void Unbind();

    // The window on the bus, or 0 when none could be made.
    platform::WindowHandle Window() const { return window_; }
    // The line said when no window could be made; empty otherwise.
    const std::string& Failure() const { return failure_; }

    // What the window does with a message: the protocol's first, then the form's own.
    std::int64_t Procedure(const platform::Message& message) const;

private:
    std::atomic<platform::WindowHandle>& WindowField() const;

    Role role_;
    OwnMessages own_;
    platform::WindowHandle window_ = 0;
    std::string failure_;
};
