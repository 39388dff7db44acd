#include "platform/textcodec.h"
#include "platform/xmltext.h"

#include <algorithm>
#include <cstring>
#include <libxml/HTMLparser.h>
#include <set>

namespace platform::xml::detail {

namespace {

bool IsAsciiLetter(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) noexcept {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The reference the "&" at pos starts: its name, or "#" and the number of a character
// reference ("&#233;", "&#xE9;"); nullopt when it starts none. A name is a letter, "_",
// ":" or any non-ASCII character, then those, digits, "-" and "."; either is closed by
// ";". Whether the name is known is not asked here.
std::optional<std::string_view> ReferenceAt(std::string_view s, std::size_t pos) noexcept {
    std::size_t i = pos + 1;
    if (i < s.size() && s[i] == '#') {
        ++i;
        const bool hex = i < s.size() && s[i] == 'x';
        if (hex) {
            ++i;
        }
        const std::size_t digits = i;
        while (i < s.size() && (hex ? IsHexDigit(s[i]) : IsDigit(s[i]))) {
            ++i;
        }
        if (i > digits && i < s.size() && s[i] == ';') {
            return s.substr(pos + 1, i - pos - 1);
        }
        return std::nullopt;
    }
    const auto nameStart = [](char c) {
        return IsAsciiLetter(c) || c == '_' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
    };
    if (i >= s.size() || !nameStart(s[i])) {
        return std::nullopt;
    }
    ++i;
    while (i < s.size() && (nameStart(s[i]) || IsDigit(s[i]) || s[i] == '-' || s[i] == '.')) {
        ++i;
    }
    if (i < s.size() && s[i] == ';') {
        return s.substr(pos + 1, i - pos - 1);
    }
    return std::nullopt;
}

// The general entities an internal subset declares ("<!ENTITY name ..."), found by their
// text; parameter entities ("<!ENTITY % name") are not references in content.
std::set<std::string, std::less<>> DeclaredEntities(std::string_view subset) {
    std::set<std::string, std::less<>> names;
    std::size_t pos = 0;
    while ((pos = subset.find("<!ENTITY", pos)) != std::string_view::npos) {
        pos += 8;
        std::size_t i = pos;
        while (i < subset.size() && IsBlankByte(subset[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < subset.size() && !IsBlankByte(subset[i]) && subset[i] != '"' &&
               subset[i] != '\'' && subset[i] != '>') {
            ++i;
        }
        if (i > start && subset[start] != '%') {
            names.emplace(subset.substr(start, i - start));
        }
    }
    return names;
}

// The character an HTML 4 named entity stands for (libxml2's HTML table), as UTF-8;
// empty for any other name and for the five that XML itself predefines.
std::string HtmlEntityText(std::string_view name) {
    if (name == "lt" || name == "gt" || name == "amp" || name == "quot" || name == "apos" ||
        name.size() > 16) {
        return {};
    }
    const std::string key(name);
    const htmlEntityDesc* desc = htmlEntityLookup(reinterpret_cast<const xmlChar*>(key.c_str()));
    std::string text;
    if (desc != nullptr && desc->value > 0) {
        AppendUtf8(text, static_cast<char32_t>(desc->value));
    }
    return text;
}

// The end (one past) of the section at pos that an "&" is literal in, or pos when none
// starts there: a comment, a CDATA section, a processing instruction or the document
// type with its internal subset. An unclosed one runs to the end; the parser refuses it.
std::size_t SkipLiteralSection(std::string_view s, std::size_t pos) noexcept {
    const std::string_view rest = s.substr(pos);
    const auto through = [&](std::string_view close, std::size_t from) {
        const auto end = s.find(close, pos + from);
        return end == std::string_view::npos ? s.size() : end + close.size();
    };
    if (rest.starts_with("<!--")) {
        return through("-->", 4);
    }
    if (rest.starts_with("<![CDATA[")) {
        return through("]]>", 9);
    }
    if (rest.starts_with("<?")) {
        return through("?>", 2);
    }
    if (rest.starts_with("<!DOCTYPE")) {
        const auto mark = s.find_first_of("[>", pos + 9);
        if (mark == std::string_view::npos) {
            return s.size();
        }
        if (s[mark] == '>') {
            return mark + 1;
        }
        // The internal subset ends at a "]" followed by blanks and ">".
        std::size_t i = mark + 1;
        while ((i = s.find(']', i)) != std::string_view::npos) {
            std::size_t j = i + 1;
            while (j < s.size() && IsBlankByte(s[j])) {
                ++j;
            }
            if (j < s.size() && s[j] == '>') {
                return j + 1;
            }
            i = j;
        }
        return s.size();
    }
    return pos;
}

// Finds where the next "<!" or "<?" begins (a comment, CDATA section, processing
// instruction or the document type may start there). Each is found by its second byte,
// which markup rarely holds otherwise, and each search moves on only once it is passed,
// so the text is scanned about once for each (not stopped at every tag, nor searched
// again for every section).
class SectionStarts {
public:
    explicit SectionStarts(std::string_view s) noexcept : s_(s) {}
    // The first start at or after from, or the text's size.
    std::size_t Next(std::size_t from) noexcept {
        return std::min(Find(bang_, '!', from), Find(question_, '?', from));
    }

private:
    std::size_t Find(std::size_t& cached, char second, std::size_t from) noexcept {
        if (cached != kUnknown && cached >= from) {
            return cached;
        }
        cached = s_.size();
        std::size_t at = from + 1;
        while (at < s_.size()) {
            const void* hit = std::memchr(s_.data() + at, second, s_.size() - at);
            if (hit == nullptr) {
                break;
            }
            at = std::size_t(static_cast<const char*>(hit) - s_.data());
            if (s_[at - 1] == '<') {
                cached = at - 1;
                break;
            }
            ++at;
        }
        return cached;
    }

    static constexpr std::size_t kUnknown = std::size_t(-1);
    std::string_view s_;
    std::size_t bang_ = kUnknown;
    std::size_t question_ = kUnknown;
};

} // namespace

std::optional<std::string> WithoutLeadingBlanks(std::string_view bytes) {
    static constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
    const std::size_t start = bytes.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
    std::size_t i = start;
    while (i < bytes.size() && IsBlankByte(bytes[i])) {
        ++i;
    }
    if (i == start || i == bytes.size() || bytes[i] != '<') {
        return std::nullopt;
    }
    std::string out(bytes.substr(0, start));
    out.append(bytes.substr(i));
    return out;
}

// The text is walked from "&" to "&" and rebuilt only from the first repair on.
std::optional<std::string> RepairedFeedReferences(std::string_view s) {
    std::size_t pos = s.find('&');
    if (pos == std::string_view::npos) {
        return std::nullopt;
    }
    std::set<std::string, std::less<>> declared;
    std::string out;
    bool repaired = false;
    std::size_t kept = 0; // s[kept..] is not in out yet
    SectionStarts starts(s);
    std::size_t section = starts.Next(0);
    while (true) {
        const std::size_t amp = s.find('&', pos);
        if (amp == std::string_view::npos) {
            break;
        }
        if (section < amp) {
            // A literal section before the "&": its references stay as written.
            const std::size_t end = SkipLiteralSection(s, section);
            if (end > section) {
                const std::string_view text(s.data() + section, end - section);
                if (text.starts_with("<!DOCTYPE")) {
                    declared.merge(DeclaredEntities(text));
                }
                pos = std::max(pos, end);
            }
            section = starts.Next(std::max(end, section + 1));
            continue;
        }
        // The references XML itself defines, by far the most common, need no look-up.
        const std::string_view rest(s.data() + amp + 1,
                                    std::min<std::size_t>(s.size() - amp - 1, 5));
        if (rest.starts_with("lt;") || rest.starts_with("gt;") || rest.starts_with("amp;") ||
            rest.starts_with("quot;") || rest.starts_with("apos;")) {
            pos = amp + 1 + rest.find(';') + 1;
            continue;
        }
        const auto name = ReferenceAt(s, amp);
        std::string character;
        if (name && name->front() != '#' && !declared.contains(*name)) {
            character = HtmlEntityText(*name);
        }
        const std::size_t next = name ? amp + name->size() + 2 : amp + 1;
        if (!name || !character.empty()) {
            if (!repaired) {
                out.reserve(s.size() + s.size() / 16);
                repaired = true;
            }
            out.append(s.substr(kept, amp - kept));
            out += name ? character : std::string("&amp;");
            kept = next;
        }
        pos = next;
    }
    if (!repaired) {
        return std::nullopt;
    }
    out.append(s.substr(kept));
    return out;
}

} // namespace platform::xml::detail
