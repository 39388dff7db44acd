#pragma once

// AXMessenger, the common base of the message window and the ticker: the look of one
// message (title-bar and body fonts and colours, bevel, more-marker), the painters that
// draw a message into a rectangle of any canvas, and the two item lists with their
// rotation. A new item set is stored as a shuffled pending list by SetMessages and merged
// into the display list by RebuildDisplayList after the next frame: the items on screen
// at that moment stay (marked Retiring) until they are stepped past.
//
// Owns its display and pending lists (and so one reference to each of their items).
//
// Threads:
//  - construction, destruction, the look fields, SetBounds and SetMessages: main thread.
//    The look fields are set before the widget runs and not changed while a ticker's
//    timer thread paints with them.
//  - the painters (PaintFrameBox, PaintTitle, PaintThumb, PaintText) touch no widget
//    state: they draw on the canvas they are given and may run on any thread, one at a
//    time per widget (ThumbHeight is the only state they write).
//  - RebuildDisplayList, IsVisible, Step, MessageAt and CurrentIndex: any thread; each
//    holds the display list's lock for the whole operation. SetMessages and
//    RebuildDisplayList are kept apart by IsEnqueuing and IsConstructing: each claims its
//    own flag with one compare-exchange and then checks the other's, so the two never
//    both pass.

#include "platform/ui/control.h"
#include "platform/ui/drawing.h"
#include "saver/axmessagelist.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class QResizeEvent;

// One counted reference to an item, released when it goes out of scope; null when empty.
// Keeps an item (and its thumbnails) alive while it is painted even if another thread
// removes it from its list meanwhile. (Its one assignment by value is both the copy and
// the move assignment, which the special-member check does not see.)
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions)
class AXMessageRef {
public:
    AXMessageRef() = default;
    explicit AXMessageRef(AXMessage* item) : item_(item != nullptr ? item->AddRef() : nullptr) {}
    AXMessageRef(const AXMessageRef& other) : AXMessageRef(other.item_) {}
    AXMessageRef(AXMessageRef&& other) noexcept : item_(std::exchange(other.item_, nullptr)) {}
    // Copy and swap: the one assignment by value serves copies and moves.
    AXMessageRef& operator=(AXMessageRef other) noexcept {
        std::swap(item_, other.item_);
        return *this;
    }
    ~AXMessageRef() {
        if (item_ != nullptr) {
            item_->Release();
        }
    }

    AXMessage* get() const { return item_; }
    AXMessage* operator->() const { return item_; }
    AXMessage& operator*() const { return *item_; }
    explicit operator bool() const { return item_ != nullptr; }

private:
    AXMessage* item_ = nullptr;
};

class AXMessenger : public platform::CustomControl {
public:
    explicit AXMessenger(QWidget* parent = nullptr);
    ~AXMessenger() override;
    AXMessenger(const AXMessenger&) = delete;
    AXMessenger& operator=(const AXMessenger&) = delete;

    // Look. Font sizes are font heights in pixels.
    std::string TitleFontName = "Arial";
    int TitleFontSize = 10;
    bool TitleFontBold = true;
    bool TitleFontItalic = false;
    platform::Color TitleFgColor = 0x000000;
    platform::Color TitleBgColor = 0x008000;
    int TitleHeight = 10;
    // Width of the bevel, and the inner margin of the body.
    int TitleBorderWidth = 2;
    // Divisor of the bevel's shading; 0 or less draws no bevel.
    int TitleBorderContrast = 6;
    std::string BodyFontName = "Arial";
    int BodyFontSize = 10;
    bool BodyFontBold = false;
    bool BodyFontItalic = false;
    platform::Color BodyFgColor = 0x000000;
    platform::Color BodyBgColor = 0xFFFFFF;
    // Width of one message cell; 0 (or less) means one message fills the widget.
    std::atomic<int> MessageWidth{0};
    // Kept for the layout; no painting rule reads them.
    int MaxImageWidth = 0;
    int MaxImageHeight = 0;
    bool ShowThumbs = true;
    // Appended to the text of an item that has a link.
    std::string MoreStr = "[mehr]";
    // Pixels by which the first visible cell has scrolled out to the left (ticker).
    std::atomic<int> CurrentMessageScrollOffset{0};
    bool Debug = false;

    // A frame is being painted / the display list is being rebuilt / a new pending list
    // is being stored. Claim one with a compare-exchange (TryBeginPainting for the first).
    std::atomic<bool> IsPainting{false};
    std::atomic<bool> IsConstructing{false};
    std::atomic<bool> IsEnqueuing{false};

    // Sets IsPainting when it was clear, in one atomic step; false when a frame runs.
    bool TryBeginPainting();
    void EndPainting() { IsPainting.store(false); }

    // Height of the thumbnail drawn last by PaintThumb, 0 when it drew none.
    int ThumbHeight() const { return thumbHeight_.load(); }

    // Size the widget through this (or by resizing it): the list operations on other
    // threads read the width from a copy kept here, never from the widget itself.
    void SetBounds(int left, int top, int width, int height);
    // The widget's width as the list operations see it; any thread.
    int ViewWidth() const { return viewWidth_.load(); }

    // --- Painters: any canvas, rectangles in its coordinates.

    // Title-bar fill, bevel and body fill of one message.
    void PaintFrameBox(platform::Canvas& canvas, const platform::Rect& r) const;
    // The title-bar text, cut with "..." to fit.
    void PaintTitle(platform::Canvas& canvas, const platform::Rect& r,
                    const std::string& text) const;
    // Draws the image's picture at r's top-left and moves r's left edge past it; with no
    // image only ThumbHeight becomes 0.
    void PaintThumb(platform::Canvas& canvas, platform::Rect& r, AXMessageImage* image);
    // The word-wrapped text at r's left edge; r's top becomes the position below the last
    // line drawn. Nothing is drawn below the last whole line that fits in r.
    void PaintText(platform::Canvas& canvas, platform::Rect& r, bool withMore, bool italic,
                   bool bold, const std::string& text) const;

    // --- Item lists.

    // Stores a shuffled copy of the items as the new pending list; null or empty changes
    // nothing. Main thread. Waits (in 15 ms steps) only while a rebuild that had already
    // begun finishes: once IsEnqueuing is claimed no new rebuild starts.
    void SetMessages(AXMessageList* items);
    // Merges a waiting pending list into the display list: the items on screen stay in
    // the order they are shown, marked Retiring, followed by the new set; the others
    // leave at once; CurrentIndex becomes 0. Nothing while the pending list is empty or a
    // store or another rebuild runs.
    void RebuildDisplayList();
    // Whether the display-list entry at index is on screen.
    bool IsVisible(int index) const;
    // Moves the current index n items forward (n > 0) or back (n < 0); a Retiring item
    // stepped past leaves the display list.
    void Step(int n);
    // The item at CurrentIndex + offset, wrapped around the display list; empty when the
    // list is empty.
    AXMessageRef MessageAt(int offset) const;
    // The position of the current item in the display list (0 when it is empty).
    int CurrentIndex() const;

    const AXMessageList& DisplayList() const { return displayList_; }
    const AXMessageList& PendingList() const { return pendingList_; }

    // --- Layout rules of the painters, without a canvas (width of a text in pixels).
    using TextWidth = std::function<int(const QString&)>;

    struct BevelColors {
        platform::Color light = 0;
        platform::Color dark = 0;
    };
    // The raised bevel's shades of a colour for a contrast divisor k > 0.
    static BevelColors BevelShades(platform::Color color, int k);

    // The text cut character by character until it and "..." fit in width, then "..."
    // appended; unchanged when it fits.
    static QString FitWithEllipsis(const TextWidth& width, const QString& text, int available);

    struct TextLine {
        int y = 0;
        QString text;
        friend bool operator==(const TextLine&, const TextLine&) = default;
    };
    struct WrappedText {
        std::vector<TextLine> lines; // in drawing order, each at the rectangle's left
        int bottom = 0;              // the rectangle's new top
    };
    // The lines PaintText draws for a text in a rectangle of width w starting at top,
    // with n = height / lineHeight whole lines; more is null without the more-marker.
    static WrappedText WrapText(const TextWidth& width, int lineHeight, int top, int w, int height,
                                const QString& text, const QString* more);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void StepForwardLocked();
    void StepBackLocked();
    // Cells on screen: the width divided by MessageWidth, rounded up; minimum is the
    // count for a MessageWidth of 0 or less.
    int CellsOnScreen(int minimum) const;

    AXMessageList displayList_;
    AXMessageList pendingList_;
    int currentIndex_ = 0; // guarded by displayList_'s lock
    std::atomic<int> viewWidth_{0};
    std::atomic<int> thumbHeight_{0};
};
