#include "saver/axmessenger.h"

#include <QResizeEvent>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

namespace {

using platform::Brush;
using platform::BrushStyle;
using platform::Canvas;
using platform::Color;
using platform::Pen;
using platform::PenStyle;
using platform::Point;
using platform::Rect;

// Measured to find the height of a line of body text: ascenders, descenders and accents.
const QString kLineProbe = QStringLiteral("ÄyWftbiíâ");

QString FromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

// The text without its last character; a surrogate pair counts as one character.
void DropLastCharacter(QString& text) {
    qsizetype n = text.size() - 1;
    if (n > 0 && text[n].isLowSurrogate() && text[n - 1].isHighSurrogate()) {
        --n;
    }
    text.truncate(std::max<qsizetype>(n, 0));
}

// Removes the last character while the text followed by the suffix is wider than the
// available width and the text is not empty; then appends the suffix.
QString ShortenToFit(const AXMessenger::TextWidth& width, QString text, const QString& suffix,
                     int available) {
    while (!text.isEmpty() && width(text + suffix) > available) {
        DropLastCharacter(text);
    }
    return text + suffix;
}

// Spaces and line breaks separate words; two separators in a row give an empty word, and
// a break at the very end ends the last word without starting an empty one.
std::vector<QString> SplitWords(const QString& text) {
    std::vector<QString> words;
    QString word;
    bool open = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u' ' || c == u'\n' || c == u'\r') {
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
                ++i;
            }
            words.push_back(word);
            word.clear();
            open = false;
        } else {
            word += c;
            open = true;
        }
    }
    if (open) {
        words.push_back(word);
    }
    return words;
}

platform::Font MakeFont(const std::string& face, int size, bool bold, bool italic) {
    platform::Font font;
    font.face = FromUtf8(face);
    font.height = size;
    font.weight = bold ? 700 : 400;
    font.italic = italic;
    return font;
}

// Pen, brush, font and colours for text on a filled background: with a solid brush the
// glyphs are drawn on the brush colour.
void SetTextTools(Canvas& canvas, const platform::Font& font, Color fg, Color bg) {
    canvas.SetPen(Pen(PenStyle::Solid, 1, fg));
    canvas.SetBrush(Brush(BrushStyle::Solid, bg));
    canvas.SetFont(font);
    canvas.SetTextColor(fg);
    canvas.SetBackgroundColor(bg);
    canvas.SetBackgroundMode(platform::BackgroundMode::Opaque);
    canvas.SetTextAlign(platform::TextAlign::Left | platform::TextAlign::Top);
}

AXMessenger::TextWidth WidthOn(const Canvas& canvas) {
    return [&canvas](const QString& text) { return canvas.TextExtent(text).width; };
}

// Clears a claimed flag however the claiming operation ends, so that a failure (an
// allocation, say) cannot leave the other thread waiting for it for ever.
class FlagRelease {
public:
    explicit FlagRelease(std::atomic<bool>& flag) : flag_(flag) {}
    FlagRelease(const FlagRelease&) = delete;
    FlagRelease& operator=(const FlagRelease&) = delete;
    ~FlagRelease() { flag_.store(false); }

private:
    std::atomic<bool>& flag_;
};

} // namespace

AXMessenger::AXMessenger(QWidget* parent) : CustomControl(parent) {
    viewWidth_.store(width());
}

AXMessenger::~AXMessenger() = default;

bool AXMessenger::TryBeginPainting() {
    bool expected = false;
    return IsPainting.compare_exchange_strong(expected, true);
}

void AXMessenger::SetBounds(int left, int top, int width, int height) {
    CustomControl::SetBounds(left, top, width, height);
    viewWidth_.store(this->width());
}

void AXMessenger::resizeEvent(QResizeEvent* event) {
    viewWidth_.store(width());
    CustomControl::resizeEvent(event);
}

// ---------------------------------------------------------------------------------------
// Painters

AXMessenger::BevelColors AXMessenger::BevelShades(Color color, int k) {
    BevelColors shades;
    if (k <= 0) {
        return shades;
    }
    const std::uint32_t divisor = std::uint32_t(k);
    // Each channel stays in its place in the colour word; a light channel that would
    // overflow into its neighbour is held at full.
    for (const std::uint32_t full : {0xFF0000u, 0x00FF00u, 0x0000FFu}) {
        const std::uint32_t c = color & full;
        const std::uint32_t light = c + c / divisor;
        shades.light |= light > full ? full : (light & full);
        shades.dark |= (c - c / divisor) & full;
    }
    return shades;
}

void AXMessenger::PaintFrameBox(Canvas& canvas, const Rect& r) const {
    const Rect title{r.left, r.top, r.right, r.top + TitleHeight};
    // An inverted rectangle fills nothing (the canvas would fill its mirror image).
    if (!title.Empty()) {
        canvas.SetPen(Pen(PenStyle::Solid, 1, TitleBgColor));
        canvas.SetBrush(Brush(BrushStyle::Solid, TitleBgColor));
        canvas.FillRect(title, Brush(BrushStyle::Solid, TitleBgColor));
    }
    if (TitleBorderContrast > 0 && !title.Empty()) {
        const BevelColors shades = BevelShades(TitleBgColor, TitleBorderContrast);
        // A bevel wider than half the bar crosses itself; it stays inside its own bar so
        // that it never reaches a neighbouring cell of the same canvas. Past the larger of
        // the bar's width and height every line lies outside the bar.
        const int rounds = std::min(TitleBorderWidth, std::max(r.Width(), TitleHeight));
        const int saved = canvas.Save();
        canvas.IntersectClip(title);
        for (int i = 0; i < rounds; ++i) {
            canvas.SetPen(Pen(PenStyle::Solid, 1, shades.light));
            canvas.MoveTo(Point{r.right - 1 - i, r.top + i});
            canvas.LineTo(Point{r.left + i, r.top + i});
            canvas.LineTo(Point{r.left + i, r.top + TitleHeight - 1 - i});
            canvas.SetPen(Pen(PenStyle::Solid, 1, shades.dark));
            canvas.MoveTo(Point{r.left + i, r.top + TitleHeight - 1 - i});
            canvas.LineTo(Point{r.right - 1 - i, r.top + TitleHeight - 1 - i});
            canvas.LineTo(Point{r.right - 1 - i, r.top + i});
        }
        canvas.Restore(saved);
    }
    const Rect body{r.left, r.top + TitleHeight, r.right, r.bottom};
    if (!body.Empty()) {
        canvas.SetPen(Pen(PenStyle::Solid, 1, BodyBgColor));
        canvas.SetBrush(Brush(BrushStyle::Solid, BodyBgColor));
        canvas.FillRect(body, Brush(BrushStyle::Solid, BodyBgColor));
    }
}

QString AXMessenger::FitWithEllipsis(const TextWidth& width, const QString& text, int available) {
    if (width(text) <= available) {
        return text;
    }
    return ShortenToFit(width, text, QStringLiteral("..."), available);
}

void AXMessenger::PaintTitle(Canvas& canvas, const Rect& r, const std::string& text) const {
    const int bw = TitleBorderWidth;
    const int w = r.Width();
    const int h = r.Height();
    const int m = (h - 2 * bw - TitleFontSize) / 2 + bw;
    SetTextTools(canvas, MakeFont(TitleFontName, TitleFontSize, TitleFontBold, TitleFontItalic),
                 TitleFgColor, TitleBgColor);
    const Rect clip{r.left + bw, r.top + bw, r.left + w - 2 * bw, r.top + TitleHeight - bw};
    // No room inside the bevel: nothing to draw (an inverted clip would be mirrored).
    if (clip.Empty()) {
        return;
    }
    const QString shown = FitWithEllipsis(WidthOn(canvas), FromUtf8(text), w - 2 * m);
    platform::TextBox box;
    box.rect = clip;
    box.clip = true;
    canvas.TextOut(Point{r.left + m, r.top + m}, shown, box);
}

void AXMessenger::PaintThumb(Canvas& canvas, Rect& r, AXMessageImage* image) {
    if (image == nullptr) {
        thumbHeight_.store(0);
        return;
    }
    const std::lock_guard lock(image->CanvasLock());
    image->Realize();
    const QImage& picture = image->Picture();
    if (!picture.isNull()) {
        canvas.BitBlt(Point{r.left, r.top}, picture, Rect{0, 0, picture.width(), picture.height()});
    }
    // The picture's own size: a bitmap thumbnail does not size its control.
    r.left += picture.width() + TitleBorderWidth;
    thumbHeight_.store(picture.height());
}

AXMessenger::WrappedText AXMessenger::WrapText(const TextWidth& width, int lineHeight, int top,
                                               int w, int height, const QString& text,
                                               const QString* more) {
    WrappedText result;
    result.bottom = top;
    const int h = std::max(lineHeight, 1);
    const int n = height / h;
    // Not even one line fits: nothing is drawn and the top stays.
    if (n <= 0) {
        return result;
    }
    const std::vector<QString> words = SplitWords(text);
    const int space = width(QStringLiteral(" "));
    const QString moreSuffix = more != nullptr ? QStringLiteral(" ") + *more : QString();

    QString line;
    int x = 0;
    int i = 0; // lines drawn
    int y = top;
    auto draw = [&](const QString& s) {
        result.lines.push_back(TextLine{y, s});
        y += h;
    };
    // A line that ends the text, or the last line that fits: with the marker it is cut to
    // make room for it, without the marker a line that is too wide ends in "...".
    auto close = [&](const QString& s) {
        if (more != nullptr) {
            return ShortenToFit(width, s, moreSuffix, w);
        }
        return width(s) > w ? ShortenToFit(width, s, QStringLiteral("..."), w) : s;
    };
    auto finish = [&] {
        // The marker gets a line of its own only when one more line fits.
        if (more != nullptr && i + 1 < n && width(line + moreSuffix) > w) {
            draw(line);
            draw(*more);
            return;
        }
        draw(close(line));
    };

    for (std::size_t k = 0; k < words.size(); ++k) {
        const QString& word = words[k];
        const bool last = k + 1 == words.size();
        const int advance = width(word) + space;
        // A first word wider than the line starts the first line (it is not preceded by
        // an empty one).
        if (advance + x < w || line.isEmpty()) {
            line += word + QStringLiteral(" ");
            x += advance;
            if (last || i == n - 1) {
                finish();
                break;
            }
            continue;
        }
        // The word does not fit on this line.
        if (i == n - 1) {
            // The last line that fits is full: it ends the text, cut to hold the marker.
            draw(close(line));
            break;
        }
        draw(line);
        ++i;
        if (last) {
            draw(word + QStringLiteral(" ") + (more != nullptr ? *more : QString()));
            break;
        }
        line = word + QStringLiteral(" ");
        x = advance;
    }
    result.bottom = y;
    return result;
}

void AXMessenger::PaintText(Canvas& canvas, Rect& r, bool withMore, bool italic, bool bold,
                            const std::string& text) const {
    SetTextTools(canvas, MakeFont(BodyFontName, BodyFontSize, bold, italic), BodyFgColor,
                 BodyBgColor);
    int h = canvas.TextExtent(kLineProbe).height;
    if (h == 0) {
        h = BodyFontSize + BodyFontSize / 2 + 2;
    }
    // A negative font size could give a line height below 1: one pixel keeps the count of
    // lines finite and positive heights only.
    h = std::max(h, 1);
    const QString more = FromUtf8(MoreStr);
    const WrappedText wrapped = WrapText(WidthOn(canvas), h, r.top, r.Width(), r.Height(),
                                         FromUtf8(text), withMore ? &more : nullptr);
    for (const TextLine& line : wrapped.lines) {
        canvas.TextOut(Point{r.left, line.y}, line.text);
    }
    r.top = wrapped.bottom;
}

// ---------------------------------------------------------------------------------------
// Item lists

void AXMessenger::SetMessages(AXMessageList* items) {
    if (items == nullptr || items->Count() == 0) {
        return;
    }
    // Shuffled before the flag is claimed: the copy takes only the source list's lock.
    const std::unique_ptr<AXMessageList> shuffled = items->ShuffledCopy();
    constexpr auto kStep = std::chrono::milliseconds(15);
    // Only another store holds IsEnqueuing, and a store always ends.
    bool expected = false;
    while (!IsEnqueuing.compare_exchange_strong(expected, true)) {
        expected = false;
        std::this_thread::sleep_for(kStep);
    }
    const FlagRelease release(IsEnqueuing);
    // With IsEnqueuing set no rebuild gets past its own check, so this waits at most for
    // the one rebuild that had already claimed IsConstructing.
    while (IsConstructing.load()) {
        std::this_thread::sleep_for(kStep);
    }
    pendingList_.ClearMessages();
    pendingList_.AppendMessages(*shuffled);
}

void AXMessenger::RebuildDisplayList() {
    if (pendingList_.Count() == 0 || IsEnqueuing.load()) {
        return;
    }
    bool expected = false;
    if (!IsConstructing.compare_exchange_strong(expected, true)) {
        return;
    }
    const FlagRelease release(IsConstructing);
    // A store that claimed IsEnqueuing meanwhile goes first; it waits for this flag.
    if (IsEnqueuing.load()) {
        return;
    }
    {
        const auto view = displayList_.LockList();
        if (pendingList_.Count() != 0) {
            const std::vector<AXMessage*>& items = *view;
            const int count = int(items.size());
            // The items on screen, in the order they are shown from the current one on;
            // each judged against the list as it was (removing while walking would shift
            // later entries under the visibility test).
            std::vector<AXMessageRef> kept;
            for (int k = 0; k < count; ++k) {
                const int j = (currentIndex_ + k) % count;
                if (IsVisible(j)) {
                    kept.emplace_back(items[std::size_t(j)]);
                }
            }
            displayList_.ClearMessages();
            for (const AXMessageRef& item : kept) {
                item->Retiring.store(true);
                displayList_.AddMessage(item.get());
            }
            currentIndex_ = 0;
            displayList_.AppendMessages(pendingList_);
            pendingList_.ClearMessages();
        }
    }
}

int AXMessenger::CellsOnScreen(int minimum) const {
    const int mw = MessageWidth.load();
    if (mw <= 0) {
        return minimum;
    }
    const int w = std::max(ViewWidth(), 0);
    return w / mw + (w % mw != 0 ? 1 : 0);
}

bool AXMessenger::IsVisible(int index) const {
    const auto view = displayList_.LockList();
    const int count = int(view->size());
    int n = CellsOnScreen(1);
    if (CurrentMessageScrollOffset.load() != 0) {
        ++n;
    }
    const std::int64_t ci = currentIndex_;
    if (ci <= index && index < ci + n) {
        return true;
    }
    // Cells past the end of the list show its first entries again.
    const std::int64_t m = n - (count - ci);
    return m > 0 && index < m;
}

void AXMessenger::StepForwardLocked() {
    const auto view = displayList_.LockList();
    const int count = int(view->size());
    if (count == 0) {
        currentIndex_ = 0;
        return;
    }
    AXMessage* item = (*view)[std::size_t(currentIndex_)];
    if (item->Retiring.load()) {
        displayList_.RemoveMessage(item); // the index now names the next item
    } else {
        ++currentIndex_;
    }
    if (currentIndex_ >= displayList_.Count()) {
        currentIndex_ = 0;
    }
}

void AXMessenger::StepBackLocked() {
    const auto view = displayList_.LockList();
    const int count = int(view->size());
    if (count == 0) {
        currentIndex_ = 0;
        return;
    }
    --currentIndex_;
    if (currentIndex_ < 0) {
        currentIndex_ = count - 1;
    }
    std::int64_t b = std::int64_t(currentIndex_) + 1 + CellsOnScreen(0) +
                     (CurrentMessageScrollOffset.load() != 0 ? 1 : 0);
    if (count < b) {
        b -= count - currentIndex_;
    }
    AXMessage* item = (*view)[std::size_t(currentIndex_)];
    if (item->Retiring.load()) {
        displayList_.RemoveMessage(item);
        if (b <= currentIndex_) {
            --currentIndex_;
        }
    }
    // Removing the last entry leaves the index one past the end.
    const int left = displayList_.Count();
    if (currentIndex_ < 0 || currentIndex_ >= left) {
        currentIndex_ = 0;
    }
}

void AXMessenger::Step(int n) {
    const auto view = displayList_.LockList();
    std::int64_t remaining = n < 0 ? -std::int64_t(n) : std::int64_t(n);
    // Once no Retiring item is left, whole rounds of the list change nothing: a huge step
    // costs no more than one round.
    std::int64_t retiring = 0;
    for (AXMessage* item : view) {
        retiring += item->Retiring.load() ? 1 : 0;
    }
    while (remaining > 0 && displayList_.Count() > 0) {
        if (retiring == 0) {
            remaining %= displayList_.Count();
            if (remaining == 0) {
                break;
            }
        }
        const int before = displayList_.Count();
        if (n > 0) {
            StepForwardLocked();
        } else {
            StepBackLocked();
        }
        if (displayList_.Count() < before) {
            --retiring;
        }
        --remaining;
    }
}

AXMessageRef AXMessenger::MessageAt(int offset) const {
    const auto view = displayList_.LockList();
    const std::int64_t count = std::int64_t(view->size());
    if (count == 0) {
        return AXMessageRef();
    }
    std::int64_t index = (std::int64_t(currentIndex_) + offset) % count;
    if (index < 0) {
        index += count;
    }
    return AXMessageRef((*view)[std::size_t(index)]);
}

int AXMessenger::CurrentIndex() const {
    const auto view = displayList_.LockList();
    return currentIndex_;
}
