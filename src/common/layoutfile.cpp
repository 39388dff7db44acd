#include "common/layoutfile.h"

#include "platform/fileio.h"
#include "platform/variant.h"
#include "platform/xml.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <variant>
#include <vector>

namespace {

using platform::xml::Node;

bool IsElement(const Node& node, std::string_view name) {
    return node.IsElement() && node.LocalName() == name;
}

// One attribute of an element and where its value goes. Texts and booleans are taken
// as read; integers and colours are converted from the last text once every attribute
// of the element has been read.
struct AttributeSpec {
    std::string_view name;
    std::variant<std::string*, int*, bool*, LFColor*> target;
    int intFallback = 0;
};

void ReadAttributes(const Node& element, std::initializer_list<AttributeSpec> specs) {
    std::vector<std::optional<std::string>> last(specs.size());
    for (const auto attr : element.Attributes()) {
        const auto name = attr.LocalName();
        size_t index = 0;
        for (const auto& spec : specs) {
            if (spec.name == name) {
                auto value = attr.Value();
                if (!value) {
                    platform::ThrowNullVariant("String");
                }
                if (auto* flag = std::get_if<bool*>(&spec.target)) {
                    **flag = platform::VariantTextToBool(*value);
                }
                last[index] = std::move(value);
            }
            ++index;
        }
    }
    size_t index = 0;
    for (const auto& spec : specs) {
        const auto& text = last[index++];
        if (auto* str = std::get_if<std::string*>(&spec.target)) {
            if (text) {
                **str = *text;
            }
        } else if (auto* number = std::get_if<int*>(&spec.target)) {
            **number = text ? layoutfile::ParseInteger(*text, spec.intFallback) : spec.intFallback;
        } else if (auto* color = std::get_if<LFColor*>(&spec.target)) {
            if (text) {
                **color = layoutfile::ParseColor(*text, **color);
            }
        } else if (auto* flag = std::get_if<bool*>(&spec.target); flag && !text) {
            **flag = false; // an absent boolean reads false, not the initial true
        }
    }
}

// A "tooltip" or "morestr": exactly one plain, non-empty text part.
std::string ReadSingleText(const Node& element) {
    auto text = element.Text(); // XmlTextError for anything but one text node
    if (!text) {
        platform::ThrowNullVariant("String");
    }
    return std::move(*text);
}

std::unique_ptr<LFxScreenImg> ReadPicture(const Node& element) {
    auto img = std::make_unique<LFxScreenImg>();
    ReadAttributes(element, {{"src", &img->src},
                             {"serial", &img->serial},
                             {"width", &img->width},
                             {"height", &img->height}});
    return img;
}

template <typename Layout> std::unique_ptr<Layout> ReadTextLayout(const Node& element) {
    auto layout = std::make_unique<Layout>();
    ReadAttributes(element, {{"fontface", &layout->fontface},
                             {"fontsize", &layout->fontsize},
                             {"bold", &layout->bold},
                             {"italic", &layout->italic},
                             {"fgcolor", &layout->fgcolor},
                             {"bgcolor", &layout->bgcolor},
                             {"border", &layout->border},
                             {"height", &layout->height}});
    return layout;
}

std::unique_ptr<LFScreenClock> ReadClock(const Node& element) {
    auto clock = std::make_unique<LFScreenClock>();
    ReadAttributes(element, {{"width", &clock->width},
                             {"height", &clock->height},
                             {"left", &clock->left},
                             {"top", &clock->top},
                             {"colorhands", &clock->colorhands},
                             {"colorsecondshand", &clock->colorsecondshand}});
    for (const auto child : element.Children()) {
        if (IsElement(child, "face")) {
            ReadAttributes(child, {{"src", &clock->facesrc}, {"serial", &clock->faceserial}});
        }
    }
    return clock;
}

std::unique_ptr<LFScreenMessagewindow> ReadMessagewindow(const Node& element) {
    auto window = std::make_unique<LFScreenMessagewindow>();
    ReadAttributes(element, {{"width", &window->width},
                             {"maxheight", &window->maxheight},
                             {"minheight", &window->minheight},
                             {"left", &window->left},
                             {"top", &window->top}});
    for (const auto child : element.Children()) {
        if (IsElement(child, "title")) {
            window->title = ReadTextLayout<LFScreenMessagewindowLayout>(child);
        } else if (IsElement(child, "body")) {
            window->body = ReadTextLayout<LFScreenMessagewindowLayout>(child);
        } else if (IsElement(child, "thumb")) {
            ReadAttributes(child, {{"maxheight", &window->thumbmaxheight},
                                   {"maxwidth", &window->thumbmaxwidth}});
        }
    }
    return window;
}

std::unique_ptr<LFScreenTicker> ReadTicker(const Node& element) {
    auto ticker = std::make_unique<LFScreenTicker>();
    ReadAttributes(element, {{"width", &ticker->width},
                             {"height", &ticker->height},
                             {"left", &ticker->left},
                             {"top", &ticker->top},
                             {"messagewidth", &ticker->messagewidth},
                             {"defaultspeed", &ticker->defaultspeed}});
    for (const auto child : element.Children()) {
        if (IsElement(child, "title")) {
            ticker->title = ReadTextLayout<LFScreenTickerLayout>(child);
        } else if (IsElement(child, "body")) {
            ticker->body = ReadTextLayout<LFScreenTickerLayout>(child);
        }
    }
    return ticker;
}

LFScreenButton ReadButton(const Node& element) {
    LFScreenButton button;
    ReadAttributes(element, {{"id", &button.id},
                             {"width", &button.width},
                             {"height", &button.height},
                             {"left", &button.left},
                             {"top", &button.top}});
    for (const auto child : element.Children()) {
        if (!IsElement(child, "face")) {
            continue;
        }
        LFScreenButtonFace face;
        ReadAttributes(
            child, {{"link", &face.link}, {"tooltip", &face.tooltip}, {"context", &face.context}});
        for (const auto picture : child.Children()) {
            if (!picture.IsElement()) {
                continue;
            }
            const auto name = picture.LocalName();
            std::string* src = nullptr;
            std::string* serial = nullptr;
            if (name == "default") {
                src = &face.defaultsrc, serial = &face.defaultserial;
            } else if (name == "pressed") {
                src = &face.pressedsrc, serial = &face.pressedserial;
            } else if (name == "hover") {
                src = &face.hoversrc, serial = &face.hoverserial;
            } else if (name == "disabled") {
                src = &face.disabledsrc, serial = &face.disabledserial;
            } else {
                continue;
            }
            ReadAttributes(picture, {{"src", src}, {"serial", serial}});
        }
        button.faces.push_back(std::move(face));
    }
    return button;
}

LFScreenImage ReadImage(const Node& element) {
    LFScreenImage image;
    ReadAttributes(element, {{"id", &image.id},
                             {"width", &image.width},
                             {"height", &image.height},
                             {"left", &image.left},
                             {"top", &image.top},
                             {"src", &image.src},
                             {"serial", &image.serial}});
    return image;
}

void ReadScreen(const Node& element, LF& lf) {
    LFScreen screen;
    ReadAttributes(element, {{"width", &screen.width, -1},
                             {"height", &screen.height, -1},
                             {"context", &screen.context},
                             {"serial", &screen.serial}});
    for (const auto child : element.Children()) {
        if (!child.IsElement()) {
            continue;
        }
        const auto name = child.LocalName();
        if (name == "background") {
            auto background = std::make_unique<LFxScreenImg>();
            ReadAttributes(child, {{"src", &background->src}, {"serial", &background->serial}});
            background->width = -1;
            background->height = -1;
            screen.background = std::move(background);
        } else if (name == "clock") {
            screen.clock = ReadClock(child);
        } else if (name == "messagewindow") {
            screen.messagewindow = ReadMessagewindow(child);
        } else if (name == "ticker") {
            screen.ticker = ReadTicker(child);
        } else if (name == "button") {
            screen.buttons.push_back(ReadButton(child));
        } else if (name == "image") {
            screen.images.push_back(ReadImage(child));
        }
    }
    if (screen.width != -1 && screen.height != -1) {
        lf.screens.push_back(std::move(screen));
    }
}

void ReadTrayFace(const Node& element, LFTNAIcon& icon) {
    auto face = std::make_unique<LFTNAIconFace>();
    ReadAttributes(element, {{"context", &face->context}, {"tooltip", &face->tooltip}});
    for (const auto child : element.Children()) {
        if (!child.IsElement()) {
            continue;
        }
        // Both start empty for every child: a child without "serial" sets an empty one.
        std::string src;
        std::string serial;
        ReadAttributes(child, {{"src", &src}, {"serial", &serial}});
        const auto name = child.LocalName();
        if (name == "default") {
            face->defaultsrc = src, face->defaultserial = serial;
        } else if (name == "default_blink") {
            face->defaultblinksrc = src, face->defaultblinkserial = serial;
        } else if (name == "sync") {
            face->syncsrc = src, face->syncserial = serial;
        } else if (name == "sync_blink") {
            face->syncblinksrc = src, face->syncblinkserial = serial;
        }
    }
    if (face->context == "no_news") {
        icon.no_news = std::move(face);
    } else if (face->context == "news") {
        icon.news = std::move(face);
    } else if (face->context == "mnews") {
        icon.mnews = std::move(face);
    }
}

void ReadDocument(const Node& root, LF& lf) {
    ReadAttributes(root, {{"compat", &lf.compat}});
    for (const auto child : root.Children()) {
        if (!child.IsElement()) {
            continue;
        }
        const auto name = child.LocalName();
        if (name == "screen") {
            ReadScreen(child, lf);
        } else if (name == "configbanner") {
            lf.configbanner = ReadPicture(child);
        } else if (name == "splashscreen") {
            lf.splashscreen = ReadPicture(child);
        } else if (name == "preview") {
            lf.preview = ReadPicture(child);
        } else if (name == "tnaicon") {
            lf.tnaicon = std::make_unique<LFTNAIcon>();
            for (const auto face : child.Children()) {
                if (IsElement(face, "face")) {
                    ReadTrayFace(face, *lf.tnaicon);
                }
            }
        } else if (name == "tooltip") {
            lf.tooltip = ReadSingleText(child);
        } else if (name == "morestr") {
            lf.morestr = ReadSingleText(child);
        }
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

namespace layoutfile {

int ParseInteger(std::string_view s, int fallback) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }
    bool hex = false;
    if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i == s.size()) {
        return fallback;
    }
    std::uint64_t value = 0;
    for (; i < s.size(); ++i) {
        const int digit = hex ? HexDigit(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
        if (digit < 0) {
            return fallback;
        }
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
        if (value > (hex ? 0xFFFFFFFFull : 2147483648ull)) {
            return fallback;
        }
    }
    if (hex) {
        // A 32-bit pattern: 0xFFFFFFFF reads -1.
        const auto bits = static_cast<std::uint32_t>(value);
        return static_cast<int>(negative ? 0u - bits : bits);
    }
    if (negative) {
        return static_cast<int>(-static_cast<std::int64_t>(value));
    }
    return value > 2147483647ull ? fallback : static_cast<int>(value);
}

LFColor ParseColor(std::string_view text, LFColor fallback) {
    // Pieces of two characters at the 1-based positions 2, 4 and 6; the first character
    // is not examined, and a piece past the end is shorter or empty (reading 0).
    LFColor color = 0;
    for (int piece = 0; piece < 3; ++piece) {
        const size_t start = 1 + 2 * static_cast<size_t>(piece);
        const auto part = start < text.size() ? text.substr(start, 2) : std::string_view();
        unsigned value = 0;
        for (const char c : part) {
            const int digit = HexDigit(c);
            if (digit < 0) {
                return fallback;
            }
            value = value * 16 + static_cast<unsigned>(digit);
        }
        color |= value << (8 * piece);
    }
    return color;
}

} // namespace layoutfile

bool LF::Parse(std::string_view bytes) {
    std::optional<platform::xml::Document> doc;
    try {
        doc.emplace(platform::xml::Document::Parse(bytes));
    } catch (const platform::xml::XmlError&) {
        return false;
    }
    try {
        ReadDocument(doc->Root(), *this);
    } catch (const platform::VariantConversionError& e) {
        throw LFValueError(e.what());
    } catch (const platform::xml::XmlTextError& e) {
        throw LFValueError(e.what());
    }
    return true;
}

bool LF::Load(const std::string& path) {
    std::optional<std::string> bytes;
    try {
        bytes = platform::ReadFile(path);
    } catch (const platform::FileError&) {
        return false;
    }
    return bytes && Parse(*bytes);
}
