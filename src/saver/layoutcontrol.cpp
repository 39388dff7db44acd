#include "saver/layoutcontrol.h"

#include "common/channelfeeds.h"
#include "platform/textcase.h"
#include "platform/ui/messagebox.h"
#include "platform/ui/pictures.h"

#include <QGuiApplication>
#include <QScreen>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <exception>

namespace {

constexpr int kBaseWidth = 1024;
constexpr int kBaseHeight = 768;
constexpr int kResumeInterval = 3000;
constexpr int kMessagewindowInterval = 20000;
// A scaled length is held within the area's side, but never below this (a preview or a
// test may have a tiny area).
constexpr int kLeastLimit = 1024;
const char* const kCustomizeTitle = "Customize this feed";

// Truncated toward zero after the value is held within the limit, so that the
// conversion back to an integer is always defined.
int ScaleValue(int value, float scale, int areaSide) {
    const float limit = float(std::max(areaSide, kLeastLimit));
    const float scaled = float(value) * scale;
    if (std::isnan(scaled)) {
        return 0;
    }
    return int(std::clamp(scaled, -limit, limit));
}

// The picture file's kind as AXImage::LoadFromFile chooses its reader.
std::string LowerExtension(const std::string& path) {
    const auto dot = path.rfind('.');
    return platform::AsciiLower(dot == std::string::npos ? std::string() : path.substr(dot + 1));
}

// Thumb1's picture and size at 1/divisor, as loading its file with that ScaleDivisor
// would make them, without reading or decoding the file again: a GIF is stretched to the
// size rounded down, as its reader does; bitmaps and metafiles take no divisor and stay
// as they are. (JPEG thumbnails are decoded at their own size instead.)
void ShrinkThumb(const AXMessageImage& full, const std::string& path, int divisor,
                 AXMessageImage& thumb) {
    const std::string kind = LowerExtension(path);
    const QImage& picture = full.Picture();
    if (picture.isNull() || kind != "gif") {
        thumb.SetSize(full.Width(), full.Height());
        thumb.SetPicture(picture);
        return;
    }
    thumb.SetSize(full.Width() / divisor, full.Height() / divisor);
    QImage shrunk = platform::NewPicture(thumb.Width(), thumb.Height());
    if (!shrunk.isNull()) {
        platform::Canvas(shrunk).StretchBlt(
            platform::Rect{0, 0, thumb.Width(), thumb.Height()}, picture,
            platform::Rect{0, 0, picture.width(), picture.height()});
    }
    thumb.SetPicture(std::move(shrunk));
}

} // namespace

LayoutControl::LayoutControl(platform::ControlHost* host) : host_(host) {
    RefreshRate = [this] {
        QScreen* screen = host_ != nullptr ? host_->screen() : nullptr;
        if (screen == nullptr) {
            screen = QGuiApplication::primaryScreen();
        }
        return screen != nullptr ? double(screen->refreshRate()) : 0.0;
    };
    resumeTimer_.SetEnabled(false);
    resumeTimer_.SetInterval(kResumeInterval);
    resumeTimer_.OnTimer = [this] { Play(); };
}

LayoutControl::~LayoutControl() {
    resumeTimer_.SetEnabled(false);
    resumeTimer_.OnTimer = nullptr;
    SetSuspended(true);
    FreeWidgets();
}

int LayoutControl::ScaleXValue(int value) const {
    return ScaleValue(value, scaleX_, area.width);
}

int LayoutControl::ScaleYValue(int value) const {
    return ScaleValue(value, scaleY_, area.height);
}

void LayoutControl::FreeWidgets() {
    {
        const std::lock_guard lock(buttonsLock_);
        buttons_.clear();
    }
    {
        const std::lock_guard lock(imagesLock_);
        images_.clear();
    }
    // The ticker's destructor waits for a tick that is running.
    ticker_.reset();
    messagewindow_.reset();
    clock_.reset();
    background_.reset();
}

// ---------------------------------------------------------------------------------------
// Cache pictures

std::string LayoutControl::CacheFilePath(const CCObject& entry) const {
    return cache != nullptr ? cache->PathOf(entry).value_or(std::string()) : std::string();
}

std::unique_ptr<AXImage> LayoutControl::LoadCacheImage(const std::string& key,
                                                       const std::string& serial) {
    if (cache == nullptr) {
        return nullptr;
    }
    const CCObject* entry = cache->Find(key, serial);
    if (entry == nullptr) {
        return nullptr;
    }
    const std::string path = CacheFilePath(*entry);
    if (path.empty()) {
        return nullptr;
    }
    auto image = std::make_unique<AXImage>();
    image->SizeToPicture = true;
    image->Stretch = false;
    try {
        image->LoadFromFile(path);
    } catch (const std::exception&) {
        return nullptr;
    }
    return image;
}

// ---------------------------------------------------------------------------------------
// Building

void LayoutControl::BuildScreen(const LF& layout, int width, const std::string& state, int height) {
    SetSuspended(true);
    FreeWidgets();
    moreStr_ = layout.morestr.empty() ? std::string(kDefaultMoreStr) : layout.morestr;

    const LFScreen* chosen = nullptr;
    for (const LFScreen& screen : layout.screens) {
        if (screen.width == width && screen.height == height && screen.context == state) {
            chosen = &screen;
        }
    }
    if (chosen != nullptr) {
        baseWidth_ = chosen->width;
        baseHeight_ = chosen->height;
        // A screen without a usable size keeps the area's own scale.
        scaleX_ = baseWidth_ > 0 ? float(area.width) / float(baseWidth_) : 1.0F;
        scaleY_ = baseHeight_ > 0 ? float(area.height) / float(baseHeight_) : 1.0F;
    } else {
        for (const LFScreen& screen : layout.screens) {
            if (screen.width == kBaseWidth && screen.height == kBaseHeight &&
                screen.context == state) {
                chosen = &screen;
            }
        }
        if (chosen != nullptr) {
            baseWidth_ = kBaseWidth;
            baseHeight_ = kBaseHeight;
            scaleX_ = float(area.width) * (1.0F / float(kBaseWidth));
            scaleY_ = float(area.height) * (1.0F / float(kBaseHeight));
        }
    }
    screen_ = chosen;
    if (chosen != nullptr) {
        if (chosen->background) {
            BuildBackground(*chosen->background);
        }
        for (const LFScreenImage& image : chosen->images) {
            BuildImage(image);
        }
        if (chosen->clock) {
            BuildClock(*chosen->clock);
        }
        for (const LFScreenButton& button : chosen->buttons) {
            BuildButton(button);
        }
        if (chosen->messagewindow) {
            BuildMessagewindow(*chosen->messagewindow);
        }
        if (chosen->ticker) {
            BuildTicker(*chosen->ticker);
        }
    }
    SetSuspended(false);
}

void LayoutControl::BuildBackground(const LFxScreenImg& element) {
    background_ = std::make_unique<ABgimage>(host_);
    background_->ScreenWidth = area.width;
    background_->ScreenHeight = area.height;
    background_->SetBounds(0, 0, area.width, area.height);
    if (cache == nullptr) {
        return;
    }
    const CCObject* entry = cache->Find(element.src, element.serial);
    const std::string path = entry != nullptr ? CacheFilePath(*entry) : std::string();
    if (path.empty()) {
        return;
    }
    try {
        background_->LoadFromFile(path);
    } catch (const std::exception&) {
        // Left without a picture.
    }
}

void LayoutControl::BuildImage(const LFScreenImage& element) {
    auto image = std::make_unique<AImage>(host_);
    image->Id = element.id;
    image->SetBounds(ScaleXValue(element.left), ScaleYValue(element.top),
                     ScaleXValue(element.width), ScaleYValue(element.height));
    if (!element.src.empty()) {
        image->Image = LoadCacheImage(element.src, element.serial);
    }
    image->Invalidate();
    const std::lock_guard lock(imagesLock_);
    images_.push_back(std::move(image));
}

void LayoutControl::BuildClock(const LFScreenClock& element) {
    clock_ = std::make_unique<AClock>(host_);
    clock_->SetBounds(ScaleXValue(element.left), ScaleYValue(element.top),
                      ScaleXValue(element.width), ScaleYValue(element.height));
    clock_->ColorHoursHand = element.colorhands;
    clock_->ColorMinutesHand = element.colorhands;
    clock_->ColorSecondsHand = element.colorsecondshand;
    clock_->ShowHourMarks = false;
    if (!element.facesrc.empty()) {
        clock_->Clockface = LoadCacheImage(element.facesrc, element.faceserial);
    }
    if (!clock_->Clockface) {
        AClock::TakeClockfaceFromBackground(*clock_, background_.get());
    }
}

void LayoutControl::BuildButton(const LFScreenButton& element) {
    auto button = std::make_unique<AButton>(host_);
    button->Id = element.id;
    button->SetBounds(ScaleXValue(element.left), ScaleYValue(element.top),
                      ScaleXValue(element.width), ScaleYValue(element.height));
    AButton* raw = button.get();
    button->OnClick = [this, raw](platform::GraphicControl&) {
        if (!suspended_ && OnButtonClick) {
            OnButtonClick(raw->Id, raw->CurrentContext(), raw->CurrentLink());
        }
    };
    auto picture = [this](const std::string& src, const std::string& serial) {
        return src.empty() ? nullptr : LoadCacheImage(src, serial);
    };
    for (const LFScreenButtonFace& f : element.faces) {
        auto face = std::make_unique<AButtonFace>();
        face->Context = f.context.empty() ? std::string("default") : f.context;
        face->Link = f.link;
        face->Hint = f.tooltip;
        face->DefaultImage = picture(f.defaultsrc, f.defaultserial);
        face->PressedImage = picture(f.pressedsrc, f.pressedserial);
        face->HoverImage = picture(f.hoversrc, f.hoverserial);
        face->DisabledImage = picture(f.disabledsrc, f.disabledserial);
        button->AddFace(std::move(face));
    }
    button->SetCurrentContext("default");
    button->Invalidate();
    const std::lock_guard lock(buttonsLock_);
    buttons_.push_back(std::move(button));
}

void LayoutControl::BuildMessagewindow(const LFScreenMessagewindow& element) {
    messagewindow_ = std::make_unique<AMessagewindow>(host_);
    AMessagewindow& w = *messagewindow_;
    const int minHeight = ScaleYValue(element.minheight);
    w.SetBounds(ScaleXValue(element.left), ScaleYValue(element.top), ScaleXValue(element.width),
                minHeight);
    w.MinHeight = minHeight;
    w.MaxHeight = ScaleYValue(element.maxheight);
    if (element.title) {
        const LFScreenMessagewindowLayout& t = *element.title;
        w.TitleFontName = t.fontface;
        w.TitleFontSize = ScaleYValue(t.fontsize);
        w.TitleFontBold = t.bold;
        w.TitleFontItalic = t.italic;
        w.TitleFgColor = t.fgcolor;
        w.TitleBgColor = t.bgcolor;
        w.TitleBorderWidth = ScaleYValue(t.border);
        w.TitleHeight = ScaleYValue(t.height);
    }
    if (element.body) {
        const LFScreenMessagewindowLayout& b = *element.body;
        w.BodyFontName = b.fontface;
        w.BodyFontSize = ScaleYValue(b.fontsize);
        w.BodyFontBold = b.bold;
        w.BodyFontItalic = b.italic;
        w.BodyFgColor = b.fgcolor;
        w.BodyBgColor = b.bgcolor;
    }
    w.OnClick = [this](platform::CustomControl&) {
        if (!suspended_ && OnMessagewindowClick && messagewindow_) {
            OnMessagewindowClick(messagewindow_->CurrentLink());
        }
    };
    w.OnContextPopup = [this](platform::CustomControl&, platform::Point, bool& handled) {
        handled = true;
        if (!messagewindow_) {
            return;
        }
        platform::MessageBoxRequest box;
        box.caption = "Messagewindow";
        box.text = "URI: " + messagewindow_->CurrentImageUri() + "\n" +
                   "Path: " + messagewindow_->CurrentImagePath();
        platform::ShowMessageBox(box);
    };
    w.Debug = true;
    w.SetInterval(kMessagewindowInterval);
    w.MoreStr = moreStr_;
    w.SetMessages(&messages_);
    w.show();
}

void LayoutControl::BuildTicker(const LFScreenTicker& element) {
    ticker_ = std::make_unique<ATicker>(host_);
    ATicker& t = *ticker_;
    t.SetBounds(ScaleXValue(element.left), ScaleYValue(element.top), ScaleXValue(element.width),
                ScaleYValue(element.height));
    t.MessageWidth.store(ScaleXValue(element.messagewidth));
    if (element.title) {
        const LFScreenTickerLayout& l = *element.title;
        t.TitleBorderWidth = ScaleYValue(l.border);
        t.TitleHeight = ScaleYValue(l.height);
        t.TitleFontName = l.fontface;
        t.TitleFontSize = ScaleYValue(l.fontsize);
        t.TitleFgColor = l.fgcolor;
        t.TitleBgColor = l.bgcolor;
    }
    if (element.body) {
        const LFScreenTickerLayout& l = *element.body;
        t.BodyFontName = l.fontface;
        t.BodyFontSize = ScaleYValue(l.fontsize);
        t.BodyFgColor = l.fgcolor;
        t.BodyBgColor = l.bgcolor;
    }
    t.OnLinkClick = [this](ATicker& sender) {
        if (!suspended_ && OnTickerClick) {
            OnTickerClick(sender.ClickedLink());
        }
    };
    // No handler for the context menu: the ticker then suppresses it.
    SetTickerSpeed(tickerSpeed_);
    t.SetMessages(&messages_);
    t.SetDrawOnScreen(tickerOnScreen_);
    t.MoreStr = moreStr_;
    t.show();
}

// ---------------------------------------------------------------------------------------
// Items

namespace {

void AddThumbnails(AXMessage& item, const std::string& key, const CC* cache,
                   LayoutControl::JpegSizes jpegSizes) {
    if (key.empty()) {
        return;
    }
    if (AXMessageImage* shared = AXMessageImage::FindShared(key, 1)) {
        // Each FindShared counts one reference, now the item's.
        item.Thumb1 = shared;
        item.Thumb2 = AXMessageImage::FindShared(key, 2);
        item.Thumb4 = AXMessageImage::FindShared(key, 4);
        item.Thumb8 = AXMessageImage::FindShared(key, 8);
        return;
    }
    const CCObject* entry = cache != nullptr ? cache->FindLatest(key) : nullptr;
    const std::string path =
        entry != nullptr ? cache->PathOf(*entry).value_or(std::string()) : std::string();
    if (path.empty()) {
        return;
    }
    item.ImagePath = path;
    AXMessageImage** targets[] = {&item.Thumb1, &item.Thumb2, &item.Thumb4, &item.Thumb8};
    const std::string kind = LowerExtension(path);
    // A JPEG is not decoded here: each size is decoded when a widget first shows it, by
    // the decoder's own scaling, so memory holds only the sizes on screen; on the reload's
    // worker its size is read from the header now, so that the painters find it known.
    // Other kinds are read and decoded once, at full size; the smaller thumbnails are
    // shrunk from that picture.
    const bool jpeg = kind == "jpg" || kind == "jpeg";
    int divisor = 1;
    for (AXMessageImage** slot : targets) {
        auto* thumb = new AXMessageImage(key, divisor); // the item's reference
        *slot = thumb;
        thumb->SizeToPicture = true;
        if (jpeg) {
            thumb->SetPendingJpeg(path);
            if (divisor == 1 && jpegSizes == LayoutControl::JpegSizes::Now) {
                const std::lock_guard lock(thumb->CanvasLock());
                (void)thumb->PictureSize();
            }
        } else if (divisor == 1) {
            try {
                thumb->LoadFromFile(path);
            } catch (const std::exception&) {
                // Left empty, and so are the smaller ones.
            }
        } else {
            ShrinkThumb(*item.Thumb1, path, divisor, *thumb);
        }
        divisor *= 2;
    }
}

} // namespace

std::vector<AXMessageRef> LayoutControl::ReadChannels(const CF& controlFile, const CC* cache,
                                                      bool loadThumbnails,
                                                      const std::function<bool()>& stopRequested,
                                                      JpegSizes jpegSizes) {
    std::vector<AXMessageRef> items;
    const auto stopped = [&stopRequested] { return stopRequested && stopRequested(); };
    for (const CFChannel& channel : controlFile.channels) {
        if (!channel.subscribed || cache == nullptr) {
            continue;
        }
        if (stopped()) {
            return items;
        }
        const auto path = cache->NewestFile(channel.uri);
        if (!path) {
            continue;
        }
        CHFChannel feed;
        try {
            feed.Load(*path);
        } catch (const std::exception&) {
            // The items read before the fault stay.
        }
        for (const CHFMessage& m : feed.messages) {
            if (m.title.empty() || m.title == kCustomizeTitle) {
                continue;
            }
            if (stopped()) {
                return items;
            }
            // Counted from here on, so that nothing is lost if a step below throws.
            AXMessageRef item(new AXMessage);
            item->ChannelName = channel.title;
            item->Title = m.title;
            item->Text = m.description;
            item->Link = m.link;
            // The key under which the thumbnails are shared, and what the message window's
            // context box names.
            item->ImageUri = m.contenturi.empty() ? channel.iconuri : m.contenturi;
            if (loadThumbnails) {
                AddThumbnails(*item, item->ImageUri, cache, jpegSizes);
            }
            items.push_back(std::move(item));
        }
    }
    return items;
}

void LayoutControl::SetChannels(const std::vector<AXMessageRef>& items) {
    messages_.ClearMessages();
    for (const AXMessageRef& item : items) {
        messages_.AddMessage(item.get());
    }
    if (messagewindow_) {
        messagewindow_->SetMessages(&messages_);
    }
    if (ticker_) {
        ticker_->SetMessages(&messages_);
    }
    if (!suspended_) {
        SetSuspended(false);
    }
}

void LayoutControl::LoadChannels(const CF* controlFile) {
    if (controlFile == nullptr) {
        return;
    }
    SetChannels(ReadChannels(*controlFile, cache, loadThumbnails, {}, JpegSizes::WhenShown));
}

// ---------------------------------------------------------------------------------------
// Driving

void LayoutControl::SetSuspended(bool suspended) {
    const bool on = !suspended;
    if (clock_) {
        clock_->SetEnabled(on);
    }
    if (messagewindow_) {
        messagewindow_->SetEnabled(on);
    }
    if (ticker_) {
        ticker_->SetEnabled(on);
    }
    SetButtonContext("#play", "playing");
    suspended_ = suspended;
}

void LayoutControl::SetButtonContext(const std::string& id, const std::string& context) {
    const std::lock_guard lock(buttonsLock_);
    for (const auto& button : buttons_) {
        if (button->Id == id) {
            button->SetCurrentContext(context);
            button->Invalidate();
        }
    }
}

void LayoutControl::Play() {
    resumeTimer_.SetEnabled(false);
    paused_ = false;
    if (messagewindow_) {
        messagewindow_->SetEnabled(true);
    }
    if (ticker_) {
        ticker_->SetEnabled(true);
    }
    if (OnPlayState) {
        OnPlayState(false);
    }
}

void LayoutControl::Pause() {
    paused_ = true;
    if (messagewindow_) {
        messagewindow_->SetEnabled(false);
    }
    if (ticker_) {
        ticker_->SetEnabled(false);
    }
    if (OnPlayState) {
        OnPlayState(true);
    }
}

void LayoutControl::Forward() {
    const bool wasPaused = paused_;
    Pause();
    if (messagewindow_) {
        messagewindow_->Step(1);
        messagewindow_->ShowCurrentMessage();
    }
    if (ticker_) {
        ticker_->CurrentMessageScrollOffset.store(0);
        ticker_->Step(1);
        ticker_->PaintFrame();
    }
    if (!wasPaused) {
        // Counted again from this step.
        resumeTimer_.SetEnabled(false);
        resumeTimer_.SetEnabled(true);
    }
}

void LayoutControl::Rewind() {
    const bool wasPaused = paused_;
    Pause();
    if (messagewindow_) {
        messagewindow_->Step(-1);
        messagewindow_->ShowCurrentMessage();
    }
    if (ticker_) {
        if (ticker_->CurrentMessageScrollOffset.load() == 0) {
            ticker_->Step(-1);
        }
        ticker_->CurrentMessageScrollOffset.store(0);
        ticker_->PaintFrame();
    }
    if (!wasPaused) {
        resumeTimer_.SetEnabled(false);
        resumeTimer_.SetEnabled(true);
    }
}

int LayoutControl::TickIntervalForRefreshRate(int hz) {
    const int rate = std::max(hz, 50);
    // Above 1000 Hz a whole millisecond is still one step (0 would double for ever).
    int tick = std::max(1000 / rate, 1);
    while (tick < 20) {
        tick *= 2;
    }
    return tick;
}

int LayoutControl::SetTickerSpeed(int speed) {
    tickerSpeed_ = std::clamp(speed, 1, 3);
    const double rate = RefreshRate ? RefreshRate() : 0.0;
    // A rate beyond any integer (or none) counts as the lowest.
    const int hz = std::isfinite(rate) && rate > 0 && rate < 1e6 ? int(std::lround(rate)) : 0;
    if (ticker_) {
        ticker_->SetTickInterval(TickIntervalForRefreshRate(hz) * tickerSpeed_);
    }
    return tickerSpeed_;
}

int LayoutControl::SetMessageInterval(int seconds) {
    if (!messagewindow_) {
        return 0;
    }
    messageInterval_ = std::clamp(seconds, 4, 60);
    messagewindow_->SetInterval(messageInterval_ * 1000);
    return messageInterval_;
}

void LayoutControl::SetTickerDrawOnScreenDC(bool onScreen) {
    tickerOnScreen_ = onScreen;
    if (ticker_) {
        ticker_->SetDrawOnScreen(onScreen);
    }
}
