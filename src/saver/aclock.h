#pragma once

// AClock, the analogue clock of a layout screen: a face picture with hour, minute and
// second hands drawn over it from the local time, optionally with sixty hour and minute
// marks. Every second the shared clock timer paints each enabled clock straight onto its
// host's surface; painting never clears, so the face is what covers the previous
// second's hands (without a face they stay). A disabled clock paints nothing at all.
//
// Owns its face and its registration at the shared timer. Threads: main thread only.

#include "platform/ui/control.h"
#include "platform/ui/drawing.h"
#include "saver/axclocktimer.h"
#include "saver/aximage.h"

#include <array>
#include <functional>
#include <memory>

// A time of day as the clock reads it: hour 0 to 23, minute and second 0 to 59.
struct ClockTime {
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Where one clock draws at one time: every coordinate already truncated, in the clock's
// own coordinates; boxes exclude their right and bottom edges.
struct ClockDrawing {
    platform::Point center;
    platform::Point hourEnd, minuteEnd, secondEnd;
    int hourLength = 0, minuteLength = 0, secondLength = 0;
    int hourPen = 0, minutePen = 0, secondPen = 0; // 0 draws one pixel wide
    platform::Rect minuteHub, secondHub;
    int markRadius = 0;
    std::array<platform::Rect, 60> marks{}; // from twelve o'clock, clockwise
};

class AClock : public platform::GraphicControl {
public:
    // Disabled, white hands but a red second hand, no face, no marks.
    explicit AClock(platform::ControlHost* host = nullptr);
    ~AClock() override;
    AClock(const AClock&) = delete;
    AClock& operator=(const AClock&) = delete;

    std::unique_ptr<AXImage> Clockface; // drawn under the hands; may be none
    platform::Color ColorHoursHand = 0xFFFFFF;
    platform::Color ColorMinutesHand = 0xFFFFFF;
    platform::Color ColorSecondsHand = 0x0000FF;
    platform::Color ColorHourMarks = 0xFFFFFF;
    bool ShowHourMarks = false;
    // Where the clock reads the time; the local time unless replaced (tests).
    std::function<ClockTime()> TimeSource = LocalTime;

    // Ticks and paints only while on; on also repaints the clock.
    void SetEnabled(bool on) override;

    // The face, hands and marks at the time read now; nothing when disabled or hidden.
    void Paint(platform::Canvas& canvas) override;

    // Gives the clock a face of its own size holding what the background control shows
    // under the clock. Without a background picture (or where it does not reach) the
    // face holds the host's background colour, white without a host.
    static void TakeClockfaceFromBackground(AClock& clock, AXImage* background);

    // The geometry of a clock of that size at that time.
    static ClockDrawing Layout(int width, int height, ClockTime time);
    static ClockTime LocalTime();

private:
    std::unique_ptr<AXClockTimer> timer_;
};
