#pragma once

// LayoutControl, the screen builder: turns the screen entry of a layout that fits the
// display into the saver's widgets on the form's client area, loads the subscribed
// channels' cached feeds into the one item list that the message window and the ticker
// share, and drives the widgets afterwards (suspend and resume, play and pause, forward
// and rewind, ticker speed, message interval, the ticker's drawing mode, button contexts)
// and routes their clicks to the form's callbacks.
//
// Every length from the layout is scaled by the ratio of the screen area to the layout
// screen's size (x for left, width and message width; y for top, height, font sizes,
// title heights and border widths), in single precision and truncated toward zero. A
// scaled length is held within the area's size on its axis (at least 1024): nothing a
// layout names can make a widget allocate a picture larger than the screen, nor overflow
// the conversion.
//
// Owns every widget it creates, the item list and the resume timer; borrows the host
// (which must outlive it) and the cache index. The graphic widgets (background, images,
// clock, buttons) are graphic controls of the host; the message window and the ticker
// are windowed children of it, above them.
//
// Threads: main thread only, but for ReadChannels (any thread). The ticker's own thread
// only ever touches the ticker; it is disabled (and its running tick finished) before a
// widget is freed.

#include "common/cache.h"
#include "common/controlfile.h"
#include "common/layoutfile.h"
#include "platform/ui/control.h"
#include "platform/ui/timer.h"
#include "saver/abgimage.h"
#include "saver/abutton.h"
#include "saver/aclock.h"
#include "saver/aimage.h"
#include "saver/amessagewindow.h"
#include "saver/aticker.h"
#include "saver/axmessagelist.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class LayoutControl {
public:
    struct Area {
        int left = 0;
        int top = 0;
        int width = 0;
        int height = 0;
    };

    explicit LayoutControl(platform::ControlHost* host);
    ~LayoutControl();
    LayoutControl(const LayoutControl&) = delete;
    LayoutControl& operator=(const LayoutControl&) = delete;

    // The screen area to fill; width and height are used.
    Area area;
    // The index in which pictures and feeds are looked up; replaced by the form on each
    // reload. Its folder is the cache folder.
    CC* cache = nullptr;
    // Every item gets its thumbnail.
    bool loadThumbnails = true;

    // Callbacks; each may be unset.
    std::function<void(const std::string& id, const std::string& context, const std::string& link)>
        OnButtonClick;
    std::function<void(const std::string& link)> OnMessagewindowClick;
    std::function<void(const std::string& link)> OnTickerClick;
    std::function<void(bool paused)> OnPlayState;

    // The display's refresh rate in Hz, read by SetTickerSpeed; the host's screen (else
    // the primary screen) unless replaced (tests).
    std::function<double()> RefreshRate;

    // Frees every widget and creates those of the last screen entry with exactly that
    // width, height and context (else the last 1024 x 768 one of that context; else
    // none). Suspended while it works, resumed at its end.
    void BuildScreen(const LF& layout, int width, const std::string& state, int height);
    // Rebuilds the item list from the cached feeds of the subscribed channels and hands
    // it to the message window and the ticker; nothing without a control file. Reads on
    // the calling thread: ReadChannels, then SetChannels.
    void LoadChannels(const CF* controlFile);
    // The items of the subscribed channels' cached feeds in the index, with their
    // thumbnails (shared with live ones by key; pictures decoded into QImage; a JPEG's
    // size read from its header). Touches no widget and no LayoutControl: any thread,
    // while that thread alone uses the index and the control file. stopRequested, when
    // set, is asked between feeds and between items; a read that stops gives what it had.
    // jpegSizes WhenShown leaves a JPEG's header to its first painter: a read on the main
    // thread (the start) opens no picture file at all.
    enum class JpegSizes { Now, WhenShown };
    static std::vector<AXMessageRef> ReadChannels(const CF& controlFile, const CC* cache,
                                                  bool loadThumbnails,
                                                  const std::function<bool()>& stopRequested = {},
                                                  JpegSizes jpegSizes = JpegSizes::Now);
    // The item list becomes exactly items, handed to the message window and the ticker
    // (each swaps them in after its next frame); a screen that is not suspended resumes,
    // as after LoadChannels. Main thread.
    void SetChannels(const std::vector<AXMessageRef>& items);

    bool Suspended() const { return suspended_; }
    // Clock, message window and ticker off (true) or on (false); the "#play" buttons show
    // "playing" in both cases.
    void SetSuspended(bool suspended);
    bool Paused() const { return paused_; }
    void Play();
    void Pause();
    // One item on (back) in the message window and the ticker, paused; playing again
    // 3000 ms after the last step when it was playing.
    void Forward();
    void Rewind();

    int TickerSpeed() const { return tickerSpeed_; }
    // Stores the speed clamped to 1..3 and returns it; the ticker ticks every
    // TickIntervalForRefreshRate(rate) x speed ms.
    int SetTickerSpeed(int speed);
    int MessageInterval() const { return messageInterval_; }
    // Without a message window 0 and nothing stored; else the seconds clamped to 4..60,
    // stored, returned and given to the message window.
    int SetMessageInterval(int seconds);
    bool TickerDrawOnScreen() const { return tickerOnScreen_; }
    void SetTickerDrawOnScreenDC(bool onScreen);
    // Every button with that id (case-sensitive) shows the context and is repainted.
    void SetButtonContext(const std::string& id, const std::string& context);

    // The picture of the cache entry with that key and serial (an empty serial: the
    // newest), sized to the picture and not stretched; none when the entry is missing,
    // names no plain file of the cache folder, or its file cannot be loaded.
    std::unique_ptr<AXImage> LoadCacheImage(const std::string& key, const std::string& serial);

    // The milliseconds of one ticker step at that refresh rate: rates below 50 count as
    // 50; 1000 / rate, doubled until it is at least 20.
    static int TickIntervalForRefreshRate(int hz);
    static constexpr const char* kDefaultMoreStr = "[mehr]";

    // What was built.
    const LFScreen* Screen() const { return screen_; }
    int BaseWidth() const { return baseWidth_; }
    int BaseHeight() const { return baseHeight_; }
    float ScaleX() const { return scaleX_; }
    float ScaleY() const { return scaleY_; }
    const std::string& MoreStr() const { return moreStr_; }
    const std::vector<std::unique_ptr<AButton>>& Buttons() const { return buttons_; }
    const std::vector<std::unique_ptr<AImage>>& Images() const { return images_; }
    ABgimage* Background() const { return background_.get(); }
    AClock* Clock() const { return clock_.get(); }
    AMessagewindow* Messagewindow() const { return messagewindow_.get(); }
    ATicker* Ticker() const { return ticker_.get(); }
    AXMessageList& Messages() { return messages_; }
    platform::Timer& ResumeTimer() { return resumeTimer_; }

    // A layout length on either axis, scaled and held within the area.
    int ScaleXValue(int value) const;
    int ScaleYValue(int value) const;

private:
    void FreeWidgets();
    void BuildBackground(const LFxScreenImg& element);
    void BuildImage(const LFScreenImage& element);
    void BuildClock(const LFScreenClock& element);
    void BuildButton(const LFScreenButton& element);
    void BuildMessagewindow(const LFScreenMessagewindow& element);
    void BuildTicker(const LFScreenTicker& element);
    // The path of a cache entry's file, or empty when its name could leave the folder.
    std::string CacheFilePath(const CCObject& entry) const;

    platform::ControlHost* host_;
    int baseWidth_ = 0;
    int baseHeight_ = 0;
    float scaleX_ = 1.0F;
    float scaleY_ = 1.0F;
    const LFScreen* screen_ = nullptr;
    bool suspended_ = true;
    bool tickerOnScreen_ = false;
    std::mutex buttonsLock_;
    std::vector<std::unique_ptr<AButton>> buttons_;
    std::mutex imagesLock_;
    std::vector<std::unique_ptr<AImage>> images_;
    std::unique_ptr<ABgimage> background_;
    std::unique_ptr<AClock> clock_;
    std::unique_ptr<AMessagewindow> messagewindow_;
    std::unique_ptr<ATicker> ticker_;
    std::string moreStr_ = kDefaultMoreStr;
    int tickerSpeed_ = 2;
    int messageInterval_ = 10;
    bool paused_ = false;
    platform::Timer resumeTimer_;
    AXMessageList messages_;
};
