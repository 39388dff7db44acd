#include "common/channelfeeds.h"

#include "platform/fileio.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace {

using platform::xml::Node;
using platform::xml::NodeType;

constexpr std::size_t kMaxTextBytes = 1024;

bool IsElement(const Node& node, std::string_view name) {
    return node.IsElement() && node.LocalName() == name;
}

bool IsElement(const Node& node, std::string_view prefix, std::string_view name) {
    return IsElement(node, name) && node.Prefix() == prefix;
}

std::string CleanEnclosedText(std::string_view text);

// A title or description that holds only text and CDATA is cleaned as the same element
// holding one text of their joined content, so CDATA-wrapped markup is cleaned exactly
// like escaped markup.
std::string CleanElement(const Node& element) {
    std::string_view first; // the only part, as it is stored, in the common case
    std::string joined;     // from a second part on
    for (const Node child : element.Children()) {
        const NodeType type = child.Type();
        if (type != NodeType::Text && type != NodeType::CData) {
            return CleanFeedText(element.Markup(), false);
        }
        const std::string_view content = child.Content();
        if (content.empty()) {
            continue;
        }
        if (first.empty()) {
            first = content;
        } else {
            if (joined.empty()) {
                joined = first;
            }
            joined += content;
        }
    }
    // That element's markup is the joined text escaped between its tags, and the
    // cleaning decodes the escapes first: what it cleans is the text itself between two
    // tags.
    return CleanEnclosedText(joined.empty() ? first : std::string_view(joined));
}

// A link's text: its text and CDATA parts joined (feeds carry an address in CDATA as
// often as plain); empty when it has none. Anything else inside it (an element, a
// comment) is no address: XmlTextError.
std::string LinkText(const Node& link) {
    std::string text;
    for (const Node child : link.Children()) {
        const NodeType type = child.Type();
        if (type != NodeType::Text && type != NodeType::CData) {
            throw platform::xml::XmlTextError();
        }
        text += child.Content();
    }
    return text;
}

// The entities the markup writer produces, and the double quote; every other name
// produces nothing.
void DecodeEntities(std::string& s) {
    if (s.find('&') == std::string::npos) {
        return;
    }
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    while (true) {
        const auto amp = s.find('&', pos);
        if (amp == std::string::npos) {
            out.append(s, pos, std::string::npos);
            break;
        }
        out.append(s, pos, amp - pos);
        const auto semi = s.find(';', amp + 1);
        if (semi == std::string::npos) {
            out.append(s, amp + 1, std::string::npos);
            break;
        }
        const std::string_view name(s.data() + amp + 1, semi - amp - 1);
        if (name == "lt") {
            out.push_back('<');
        } else if (name == "gt") {
            out.push_back('>');
        } else if (name == "quot") {
            out.push_back('"');
        } else if (name == "amp") {
            out.push_back('&');
        }
        pos = semi + 1;
    }
    s.swap(out);
}

// Undoes the markup writer's own escapes ("&amp;", "&lt;", "&gt;") in what is left of an
// element with child elements once its tags are gone, so its text reads as the feed
// wrote it instead of showing entity names; every other "&" stays as it stands.
void UnescapeMarkupText(std::string& s) {
    if (s.find('&') == std::string::npos) {
        return;
    }
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const std::string_view rest(s.data() + i, s.size() - i);
        if (rest.starts_with("&amp;")) {
            out.push_back('&');
            i += 4;
        } else if (rest.starts_with("&lt;")) {
            out.push_back('<');
            i += 3;
        } else if (rest.starts_with("&gt;")) {
            out.push_back('>');
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    s.swap(out);
}

void RemoveTags(std::string& s) {
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    while (true) {
        const auto open = s.find('<', pos);
        if (open == std::string::npos) {
            out.append(s, pos, std::string::npos);
            break;
        }
        out.append(s, pos, open - pos);
        const auto close = s.find('>', open + 1);
        if (close == std::string::npos) {
            out.append(s, open + 1, std::string::npos);
            break;
        }
        pos = close + 1;
    }
    s.swap(out);
}

// Control characters become blanks, runs of blanks one blank, none at either end.
void NormaliseBlanks(std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 32) {
            c = ' ';
        }
        if (c == ' ' && (out.empty() || out.back() == ' ')) {
            continue;
        }
        out.push_back(c);
    }
    if (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    s.swap(out);
}

void CutToLimit(std::string& s) {
    if (s.size() <= kMaxTextBytes) {
        return;
    }
    std::size_t cut = kMaxTextBytes;
    // Never split a character: a continuation byte at the cut belongs to the one before.
    for (int back = 0; back < 3 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80; ++back) {
        --cut;
    }
    s.resize(cut);
}

// The text as it stands between an element's start and end tag, cleaned in one pass as
// CleanFeedText cleans such markup: tags removed (an unclosed "<" reaches the end tag, so
// it takes the rest), control characters as blanks, runs of blanks as one, none at either
// end, cut to the limit. Once the line is past the limit the rest cannot change it.
std::string CleanEnclosedText(std::string_view text) {
    // Written through a pointer into a buffer as long as the line can grow: one pass,
    // no reallocation.
    std::string out(std::min(text.size(), kMaxTextBytes + 2), '\0');
    char* const begin = out.data();
    char* const full = begin + out.size();
    char* o = begin;
    const char* i = text.data();
    const char* const end = i + text.size();
    while (i < end && o < full) {
        char c = *i;
        if (c == '<') {
            const void* close = std::memchr(i + 1, '>', std::size_t(end - i - 1));
            if (close == nullptr) {
                break;
            }
            i = static_cast<const char*>(close) + 1;
            continue;
        }
        if (static_cast<unsigned char>(c) < 32) {
            c = ' ';
        }
        if (c != ' ' || (o != begin && o[-1] != ' ')) {
            *o++ = c;
        }
        ++i;
    }
    if (o != begin && o[-1] == ' ') {
        --o;
    }
    out.resize(std::size_t(o - begin));
    CutToLimit(out);
    return out;
}

} // namespace

std::string CleanFeedText(std::string_view markup, bool isText) {
    std::string s(markup);
    if (isText) {
        DecodeEntities(s);
    }
    RemoveTags(s);
    if (!isText) {
        UnescapeMarkupText(s);
    }
    NormaliseBlanks(s);
    CutToLimit(s);
    return s;
}

void CHFChannel::ParseContentItems(const Node& node, CHFMessage& message) {
    if (!IsElement(node, "content", "items")) {
        return;
    }
    for (const Node bag : node.Children()) {
        if (!IsElement(bag, "rdf", "Bag")) {
            continue;
        }
        for (const Node li : bag.Children()) {
            if (!IsElement(li, "rdf", "li")) {
                continue;
            }
            for (const Node item : li.Children()) {
                if (!IsElement(item, "content", "item")) {
                    continue;
                }
                for (const auto attr : item.Attributes()) {
                    if (attr.LocalName() == "about" && attr.Prefix() == "rdf") {
                        if (auto value = attr.Value()) {
                            message.contenturi = std::move(*value);
                        }
                    }
                }
            }
        }
    }
}

void CHFChannel::ParseItems(const Node& node) {
    for (const Node item : node.Children()) {
        if (!IsElement(item, "item")) {
            continue;
        }
        CHFMessage message;
        for (const Node child : item.Children()) {
            if (!child.IsElement()) {
                continue;
            }
            const auto name = child.LocalName();
            if (name == "title") {
                message.title = CleanElement(child);
            } else if (name == "description") {
                message.description = CleanElement(child);
            } else if (name == "link") {
                message.link = LinkText(child);
            }
            ParseContentItems(child, message);
        }
        messages.push_back(std::move(message));
    }
}

void CHFChannel::Parse(std::string_view bytes) {
    const auto doc = platform::xml::Document::Parse(bytes, platform::xml::Dialect::Feed);
    const Node root = doc.Root();
    ParseItems(root);
    for (const Node child : root.Children()) {
        if (IsElement(child, "channel")) {
            ParseItems(child);
        }
    }
}

void CHFChannel::Load(const std::string& path) {
    const auto bytes = platform::ReadFile(path);
    if (!bytes) {
        throw platform::FileError("open", path, ENOENT);
    }
    Parse(*bytes);
}
