#pragma once

// AMessagewindow shows one channel item at a time: the channel name in a bevelled title
// bar, a thumbnail at the left when one fits, the item's title and text word-wrapped
// beside it, and the more-marker when the item has a link. A window timer moves on to
// the next item every Interval milliseconds while the widget is Enabled. Each item is
// rendered into an off-screen picture MaxHeight high; the widget then takes the height
// the content needs, never below MinHeight nor above MaxHeight. With no items it shows
// German placeholder texts.
//
// Owns its rendering, its rotation timer and one reference to the item shown (so the
// thumbnails it shows stay alive until the next item is shown).
//
// Threads: main thread only; its item lists are shared as AXMessenger describes.

#include "platform/ui/drawing.h"
#include "platform/ui/timer.h"
#include "saver/axmessenger.h"

#include <QImage>
#include <string>

class AMessagewindow : public AXMessenger {
public:
    // Created with its rotation off (see Enabled) and the timer at 10000 ms.
    explicit AMessagewindow(QWidget* parent = nullptr);
    ~AMessagewindow() override;
    AMessagewindow(const AMessagewindow&) = delete;
    AMessagewindow& operator=(const AMessagewindow&) = delete;

    // Rotation on or off. Only the rotation: the widget still takes clicks while it is
    // off (paused). Turning it on, even when it is on already, moves on one item.
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled) override;
    // Milliseconds between two items; 0 (the value after construction) leaves the timer
    // at its own 10000 ms until it is set. Setting it restarts the count.
    int Interval() const { return interval_; }
    void SetInterval(int ms);

    // Height of the off-screen rendering and least height of the widget (layout).
    int MaxHeight = 0;
    int MinHeight = 0;

    // The item shown: copies of its fields (placeholders when the list is empty).
    const std::string& CurrentLink() const { return currentLink_; }
    const std::string& CurrentImageUri() const { return currentImageUri_; }
    const std::string& CurrentImagePath() const { return currentImagePath_; }
    const std::string& CurrentChannelName() const { return currentChannelName_; }
    const std::string& CurrentTitle() const { return currentTitle_; }
    const std::string& CurrentText() const { return currentText_; }
    AXMessageImage* CurrentThumb1() const { return currentThumbs_[0]; }
    AXMessageImage* CurrentThumb2() const { return currentThumbs_[1]; }
    AXMessageImage* CurrentThumb4() const { return currentThumbs_[2]; }
    AXMessageImage* CurrentThumb8() const { return currentThumbs_[3]; }

    // The timer's event: when Enabled, one item on and shown.
    void RotateTimer();
    // Takes the current item, renders it, sizes the widget to the rendering, shows it and
    // then merges a waiting item set into the display list.
    void ShowCurrentMessage();

    // The rendering last made (null before the first one).
    const QImage& Rendering() const { return picture_; }
    // The rotation timer (its OnTimer runs RotateTimer).
    platform::Timer& RotationTimer() { return timer_; }

    // Placeholder texts shown while there are no items.
    static constexpr const char* kNoDataChannel = "Fehler";
    static constexpr const char* kNoDataTitle = "Keine Daten";
    static constexpr const char* kNoDataText =
        "Momentan liegen keine Daten vor. Dies kann daran liegen, daß keine "
        "Online-Verbindung besteht, oder daß der Server nicht erreicht werden konnte. ";

protected:
    void Paint(platform::Canvas& canvas) override;

private:
    void Render();
    void TakeCurrentItem();

    bool enabled_ = false;
    int interval_ = 0;
    std::string currentLink_;
    std::string currentImageUri_;
    std::string currentImagePath_;
    std::string currentChannelName_;
    std::string currentTitle_;
    std::string currentText_;
    AXMessageImage* currentThumbs_[4] = {nullptr, nullptr, nullptr, nullptr};
    AXMessageRef currentItem_;
    QImage picture_;
    bool resizeQueued_ = false;
    platform::Timer timer_;
};
