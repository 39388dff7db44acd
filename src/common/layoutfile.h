#pragma once

// The layout file model: for one version of a provider's look, the screen entries (one
// per design size and context, with clock, message window, ticker, buttons, images and
// background) and the pictures shown outside the screen (subscription-dialog banner,
// splash screen, preview, tray-icon faces), plus the tray tip and the link-marker text.
// Every picture is named by a cache key ("src") and a serial, never held here.
//
// Plain data: an LF owns everything below it (single elements through unique_ptr, lists
// by value) and belongs to the thread that loaded it; nothing is locked. Texts are UTF-8.
// Integers are kept as the file gives them: users clamp geometry before they allocate.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A Windows colour value: red in the low byte, then green, then blue.
using LFColor = std::uint32_t;

// A value the format forbids (an empty attribute of a known name, a "bold" or "italic"
// that is no boolean, a "tooltip" or "morestr" that is not one plain text). It ends the
// load; the model keeps the entries completed before it.
class LFValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct LFxScreenImg {
    std::string src;
    std::string serial;
    int width = 0;
    int height = 0;
};

struct LFScreenClock {
    std::string faceserial;
    std::string facesrc;
    int width = 0;
    int height = 0;
    int left = 0;
    int top = 0;
    LFColor colorhands = 0xFFFFFF;
    LFColor colorsecondshand = 0x0000FF;
};

// The look of a message window's or ticker's title or body text.
struct LFScreenMessagewindowLayout {
    std::string fontface;
    int fontsize = 0;
    bool bold = true;
    bool italic = true;
    LFColor fgcolor = 0x008000;
    LFColor bgcolor = 0x008000;
    int border = 0;
    int height = 0;
};

struct LFScreenTickerLayout : LFScreenMessagewindowLayout {};

struct LFScreenMessagewindow {
    int width = 0;
    int maxheight = 0;
    int minheight = 0;
    int left = 0;
    int top = 0;
    int thumbmaxheight = 0;
    int thumbmaxwidth = 0;
    std::unique_ptr<LFScreenMessagewindowLayout> title;
    std::unique_ptr<LFScreenMessagewindowLayout> body;
};

struct LFScreenTicker {
    int width = 0;
    int height = 0;
    int left = 0;
    int top = 0;
    int messagewidth = 0;
    int defaultspeed = 0;
    std::unique_ptr<LFScreenTickerLayout> title;
    std::unique_ptr<LFScreenTickerLayout> body;
};

struct LFScreenImage {
    std::string id;
    int width = 0;
    int height = 0;
    int left = 0;
    int top = 0;
    std::string src;
    std::string serial;
};

struct LFScreenButtonFace {
    std::string link;
    std::string context;
    std::string tooltip;
    std::string defaultsrc;
    std::string defaultserial;
    std::string pressedsrc;
    std::string pressedserial;
    std::string hoversrc;
    std::string hoverserial;
    std::string disabledsrc;
    std::string disabledserial;
};

struct LFScreenButton {
    std::string id;
    int width = 0;
    int height = 0;
    int left = 0;
    int top = 0;
    std::vector<LFScreenButtonFace> faces;
};

struct LFScreen {
    int width = -1;
    int height = -1;
    std::string context;
    std::string serial;
    std::unique_ptr<LFScreenClock> clock;
    std::unique_ptr<LFScreenMessagewindow> messagewindow;
    std::unique_ptr<LFScreenTicker> ticker;
    std::vector<LFScreenButton> buttons;
    std::vector<LFScreenImage> images;
    std::unique_ptr<LFxScreenImg> background; // width and height always -1
};

struct LFTNAIconFace {
    std::string context;
    std::string tooltip;
    std::string defaultsrc;
    std::string defaultserial;
    std::string defaultblinksrc;
    std::string defaultblinkserial;
    std::string syncsrc;
    std::string syncserial;
    std::string syncblinksrc;
    std::string syncblinkserial;
};

struct LFTNAIcon {
    std::unique_ptr<LFTNAIconFace> no_news;
    std::unique_ptr<LFTNAIconFace> news;
    std::unique_ptr<LFTNAIconFace> mnews;
};

class LF {
public:
    std::vector<LFScreen> screens;
    std::unique_ptr<LFxScreenImg> configbanner;
    std::unique_ptr<LFxScreenImg> splashscreen;
    std::unique_ptr<LFxScreenImg> preview;
    std::unique_ptr<LFTNAIcon> tnaicon;
    std::string compat;
    std::string tooltip;
    std::string morestr;

    // Reads the layout file at path into the model, adding to what it holds (screens,
    // buttons and images appended, single elements replaced). A missing, unreadable or
    // malformed file changes nothing and gives false. A value error throws LFValueError
    // after the entries completed before it were kept.
    bool Load(const std::string& path);
    // The same over a document's bytes.
    bool Parse(std::string_view bytes);
};

namespace layoutfile {

// The value forms of the format, for the reader and its tests.
// Integer: optional leading blanks and sign, decimal digits or hexadecimal after "$",
// "0x", "0X", "x" or "X" (up to a 32-bit pattern); anything else gives fallback.
int ParseInteger(std::string_view text, int fallback);
// Colour "#RRGGBB": pieces at positions 2, 4 and 6 read as hexadecimal (an empty piece
// reads 0); any invalid piece keeps fallback whole.
LFColor ParseColor(std::string_view text, LFColor fallback);

} // namespace layoutfile
