#pragma once

// A window in the saver's place on the process's message bus, for the tests of the
// saver's dialogs: the protocol attached afresh (queue dropped, no handlers), the window
// named as SaverWnd, CtrlWnd unknown, and every protocol message it receives recorded
// with its first parameter. The bus must outlive it. Main thread only.

#include "common/tolvaripc.h"
#include "platform/bus.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace tolvar::test {

class SaverProtocolWindow {
public:
    explicit SaverProtocolWindow(platform::Bus& bus) : bus_(bus) {
        IpcInit(IPC_QUEUE_KEY_PATH, IPC_MESSAGE_NAME);
        IpcHandlers = {};
        window_ = bus_.CreateWindow([this](platform::WindowHandle, const platform::Message& m) {
            if (m.number == IpcMessageId()) {
                received_.emplace_back(m.second, m.first);
            }
            return std::int64_t{0};
        });
        SaverWnd = window_;
        CtrlWnd = 0;
    }
    ~SaverProtocolWindow() {
        SaverWnd = 0;
        bus_.DestroyWindow(window_);
    }
    SaverProtocolWindow(const SaverProtocolWindow&) = delete;
    SaverProtocolWindow& operator=(const SaverProtocolWindow&) = delete;

    platform::WindowHandle Window() const { return window_; }
    // The codes received so far with their first parameter, after what is pending.
    std::vector<std::pair<std::int64_t, std::int64_t>> Received() {
        bus_.ProcessPending();
        return received_;
    }
    // The codes alone.
    std::vector<std::int64_t> Codes() {
        std::vector<std::int64_t> codes;
        for (const auto& [code, first] : Received()) {
            codes.push_back(code);
        }
        return codes;
    }
    void Clear() { received_.clear(); }

private:
    platform::Bus& bus_;
    platform::WindowHandle window_ = 0;
    std::vector<std::pair<std::int64_t, std::int64_t>> received_;
};

} // namespace tolvar::test
