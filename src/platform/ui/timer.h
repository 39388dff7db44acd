#pragma once

// A window-message timer: calls OnTimer every Interval milliseconds from the main
// thread's event loop while it is enabled. As the class library's timer does, changing
// the interval restarts the count, and an interval of 0 stops the ticks. A tick that
// comes due while the loop is busy is not queued twice.
//
// Threads: main (GUI) thread only; OnTimer runs there.

#include <QObject>
#include <functional>

namespace platform {

class Timer : public QObject {
public:
    // Enabled with an interval of 1000 ms, counting from now.
    Timer();
    ~Timer() override;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    int Interval() const { return interval_; }
    void SetInterval(int ms);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    std::function<void()> OnTimer;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void Restart();

    int interval_ = 1000;
    bool enabled_ = true;
    int id_ = 0;
};

} // namespace platform
