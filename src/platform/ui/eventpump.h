#pragma once

// The wait pump of a program with a Qt event loop: while the dial-up layer waits for a
// command (up to its time-out), the whole loop is served, not only the message bus, so
// the program's windows keep painting and answering keys and timers keep running.
//
// The pump processes every kind of event and waits for the next one, bounded by the time
// it is given; a request to end the loop (QCoreApplication::exit) does not make it spin:
// it still waits for events or the end of its time.
//
// BusEventPump delivers the process's message bus from the Qt loop: whenever the bus's
// event descriptor is readable, its pending messages are handed to their windows.
//
// Threads: the GUI thread only.

#include "platform/process.h"

#include <memory>

class QSocketNotifier;

namespace platform {

// Serves the application's events for at most the given time.
WaitPump EventLoopPump();

// Binds EventLoopPump as the dial-up layer's wait pump (SetDialWaitPump).
void ServeEventLoopWhileDialling();

// Hooks the process's bus (when there is one) into the Qt loop for its lifetime. Needs
// the application object. Not copyable.
class BusEventPump {
public:
    BusEventPump();
    ~BusEventPump();
    BusEventPump(const BusEventPump&) = delete;
    BusEventPump& operator=(const BusEventPump&) = delete;

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace platform
