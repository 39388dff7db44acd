#include "platform/ui/timer.h"

#include <QTimerEvent>
#include <algorithm>

namespace platform {

Timer::Timer() {
    Restart();
}

Timer::~Timer() {
    if (id_ != 0) {
        killTimer(id_);
    }
}

void Timer::SetInterval(int ms) {
    ms = std::max(ms, 0);
    if (ms != interval_) {
        interval_ = ms;
        Restart();
    }
}

void Timer::SetEnabled(bool enabled) {
    if (enabled != enabled_) {
        enabled_ = enabled;
        Restart();
    }
}

void Timer::Restart() {
    if (id_ != 0) {
        killTimer(id_);
        id_ = 0;
    }
    if (enabled_ && interval_ > 0) {
        id_ = startTimer(interval_, Qt::PreciseTimer);
    }
}

void Timer::timerEvent(QTimerEvent* event) {
    if (event->timerId() != id_) {
        QObject::timerEvent(event);
        return;
    }
    if (OnTimer) {
        OnTimer();
    }
}

} // namespace platform
