#include "platform/ui/eventpump.h"

#include "platform/bus.h"
#include "platform/network.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

namespace platform {

WaitPump EventLoopPump() {
    return [](std::chrono::milliseconds most) {
        if (QCoreApplication::instance() == nullptr) {
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + most;
        // The timer wakes the wait below when no other event comes.
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(most);
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        } while (wake.isActive() && std::chrono::steady_clock::now() < deadline);
    };
}

void ServeEventLoopWhileDialling() {
    SetDialWaitPump(EventLoopPump());
}

BusEventPump::BusEventPump() {
    if (Bus* bus = Bus::Instance()) {
        notifier_ = std::make_unique<QSocketNotifier>(bus->EventFd(), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                         [bus] { bus->ProcessPending(); });
    }
}

BusEventPump::~BusEventPump() = default;

} // namespace platform
