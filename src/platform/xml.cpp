#include "platform/xml.h"

#include "platform/textcase.h"
#include "platform/textcodec.h"
#include "platform/xmltree.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iconv.h>
#include <libxml/HTMLparser.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <malloc.h>
#include <mutex>
#include <optional>
#include <set>

namespace platform::xml {

namespace {

bool IsBlankByte(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Every external resource (DTD, external entity, XInclude) is refused, so no document
// can make the parser read a local file or reach the network.
xmlParserInputPtr RefuseExternalEntity(const char* /*url*/, const char* /*id*/,
                                       xmlParserCtxtPtr /*ctxt*/) {
    return nullptr;
}

void InitialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
        // A parse still makes many small heap blocks (libxml2's input copy, dictionary
        // and buffers, then the readers' strings), freed once the document is read. With
        // the C library's default pad of 128 KB the heap is given back after each
        // document and regrown for the next in small steps, which cost several times the
        // parse itself (libxml2's own tree parse of a large control file ran 5 x slower).
        // 8 MB of pad keeps the steps few at little lasting memory.
        mallopt(M_TOP_PAD, 8 << 20);
    });
}

// The first error of a parse becomes the exception's text. Nothing goes to stderr.
void CollectError(void* userData, xmlErrorPtr error) {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(userData);
    if (ctxt == nullptr || ctxt->_private == nullptr || error == nullptr ||
        error->level < XML_ERR_ERROR) {
        return;
    }
    std::string& first = detail::TreeBuilder::Of(ctxt).firstError;
    if (first.empty() && error->message != nullptr) {
        first = error->message;
        while (!first.empty() && (first.back() == '\n' || first.back() == ' ')) {
            first.pop_back();
        }
        first += " (line " + std::to_string(error->line) + ")";
    }
}

void IgnoreStructuredError(void* /*userData*/, xmlErrorPtr /*error*/) {}

void IgnoreGenericError(void* /*userData*/, const char* /*format*/, ...) {}

// libxml2 reports a few faults (encoding conversion, memory) outside any parse context,
// through the calling thread's library-wide handlers, whose default writes to stderr.
// Those are silenced for the time of one parse and restored after it, so another user
// of the library on the same thread keeps its own. The handlers are per thread.
class QuietLibraryErrors {
public:
    QuietLibraryErrors()
        : generic_(xmlGenericError), genericContext_(xmlGenericErrorContext),
          structured_(xmlStructuredError), structuredContext_(xmlStructuredErrorContext) {
        xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
        xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
    }
    ~QuietLibraryErrors() {
        xmlSetGenericErrorFunc(genericContext_, generic_);
        xmlSetStructuredErrorFunc(structuredContext_, structured_);
    }
    QuietLibraryErrors(const QuietLibraryErrors&) = delete;
    QuietLibraryErrors& operator=(const QuietLibraryErrors&) = delete;

private:
    xmlGenericErrorFunc generic_;
    void* genericContext_;
    xmlStructuredErrorFunc structured_;
    void* structuredContext_;
};

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

// The feed repairs of references, on the decoded text outside the literal sections:
// an "&" that starts no reference is written "&amp;", and a reference to an HTML 4
// entity that the document does not declare is replaced by its character, so it reads
// the same in content and in attribute values. The document type is left as written.
// The text is walked from "&" to "&" and rebuilt only from the first repair on: a feed
// that needs none is not copied (nullopt).
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

// The context and the document libxml2 keeps the document type in (the tree is ours).
struct ContextDeleter {
    void operator()(xmlParserCtxt* ctxt) const noexcept {
        xmlFreeDoc(ctxt->myDoc);
        xmlFreeParserCtxt(ctxt);
    }
};

std::string Qualified(std::string_view prefix, std::string_view local) {
    std::string out;
    if (!prefix.empty()) {
        out.reserve(prefix.size() + 1 + local.size());
        out.append(prefix).push_back(':');
    }
    out.append(local);
    return out;
}

void AppendEscapedText(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out.push_back(c);
        }
    }
}

void AppendEscapedAttribute(std::string& out, std::string_view text) {
    for (char c : text) {
        if (c == '"') {
            out += "&quot;";
        } else {
            AppendEscapedText(out, std::string_view(&c, 1));
        }
    }
}

void OpenNode(std::string& out, const detail::RawNode* node) {
    switch (node->type) {
    case NodeType::Element:
        out.push_back('<');
        out += Qualified(node->prefix, node->local);
        for (const detail::RawNs* ns = node->nsDefs; ns != nullptr; ns = ns->next) {
            out += " xmlns";
            if (!ns->prefix.empty()) {
                out.push_back(':');
                out += ns->prefix;
            }
            out += "=\"";
            AppendEscapedAttribute(out, ns->href);
            out.push_back('"');
        }
        for (const detail::RawAttr* attr = node->attrs; attr != nullptr; attr = attr->next) {
            out.push_back(' ');
            out += Qualified(attr->prefix, attr->local);
            out += "=\"";
            AppendEscapedAttribute(out, attr->value);
            out.push_back('"');
        }
        out += node->first == nullptr ? "/>" : ">";
        break;
    case NodeType::Text:
        AppendEscapedText(out, node->content);
        break;
    case NodeType::CData:
        out += "<![CDATA[";
        out += node->content;
        out += "]]>";
        break;
    case NodeType::Comment:
        out += "<!--";
        out += node->content;
        out += "-->";
        break;
    case NodeType::ProcessingInstruction:
        out += "<?";
        out += node->local;
        if (!node->content.empty()) {
            out.push_back(' ');
            out += node->content;
        }
        out += "?>";
        break;
    case NodeType::Other:
        out.push_back('&');
        out += node->local;
        out.push_back(';');
        break;
    }
}

void CloseElement(std::string& out, const detail::RawNode* node) {
    out += "</";
    out += Qualified(node->prefix, node->local);
    out.push_back('>');
}

// ---- decoding ----

bool StartsWith(std::string_view s, std::string_view prefix) noexcept {
    return s.substr(0, prefix.size()) == prefix;
}

// The encoding named by an XML declaration at the start of the bytes; empty when there
// is no declaration or it names none.
std::string DeclaredEncoding(std::string_view bytes) {
    if (!StartsWith(bytes, "<?xml") || bytes.size() < 6 || !IsBlankByte(bytes[5])) {
        return {};
    }
    const auto end = bytes.find("?>");
    if (end == std::string_view::npos) {
        return {};
    }
    const std::string_view decl = bytes.substr(0, end);
    std::size_t pos = 5;
    while ((pos = decl.find("encoding", pos)) != std::string_view::npos) {
        std::size_t i = pos + 8;
        if (!IsBlankByte(decl[pos - 1])) {
            pos = i;
            continue;
        }
        while (i < decl.size() && IsBlankByte(decl[i])) {
            ++i;
        }
        if (i >= decl.size() || decl[i] != '=') {
            pos = i;
            continue;
        }
        ++i;
        while (i < decl.size() && IsBlankByte(decl[i])) {
            ++i;
        }
        if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) {
            return {};
        }
        const char quote = decl[i];
        const auto close = decl.find(quote, i + 1);
        if (close == std::string_view::npos) {
            return {};
        }
        return std::string(decl.substr(i + 1, close - i - 1));
    }
    return {};
}

bool IsUtf8Name(const std::string& upper) {
    return upper == "UTF-8" || upper == "UTF8";
}

bool IsWindows1252Name(const std::string& upper) {
    static constexpr std::array<std::string_view, 15> names = {
        "ISO-8859-1",   "ISO8859-1", "ISO_8859-1", "ISO_8859-1:1987", "LATIN1", "LATIN-1",
        "L1",           "CP819",     "IBM819",     "US-ASCII",        "ASCII",  "ANSI_X3.4-1968",
        "WINDOWS-1252", "CP1252",    "ISO-IR-100"};
    for (auto name : names) {
        if (upper == name) {
            return true;
        }
    }
    return false;
}

// A multi-byte encoding in which the declaration could not have been read as 8-bit
// text: naming one in a readable declaration is a plain mistake.
bool IsWideName(const std::string& upper) {
    return StartsWith(upper, "UTF-16") || StartsWith(upper, "UTF16") ||
           StartsWith(upper, "UTF-32") || StartsWith(upper, "UTF32") ||
           StartsWith(upper, "UCS-2") || StartsWith(upper, "UCS2") || StartsWith(upper, "UCS-4") ||
           StartsWith(upper, "UCS4");
}

// Converts with iconv; nullopt when the encoding is unknown or the bytes do not decode.
std::optional<std::string> ConvertWithIconv(std::string_view bytes, const std::string& from) {
    iconv_t cd = ::iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) { // NOLINT(performance-no-int-to-ptr): iconv's failure
        return std::nullopt;
    }
    struct Closer { // NOLINT(cppcoreguidelines-special-member-functions): a local guard
        iconv_t cd;
        ~Closer() { ::iconv_close(cd); }
    } closer{cd};
    std::string out;
    out.resize(bytes.size() * 2 + 16);
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    std::size_t written = 0;
    while (true) {
        char* outPtr = out.data() + written;
        std::size_t outLeft = out.size() - written;
        const std::size_t rc = ::iconv(cd, inLeft > 0 ? &in : nullptr, &inLeft, &outPtr, &outLeft);
        written = out.size() - outLeft;
        if (rc != static_cast<std::size_t>(-1)) {
            if (inLeft == 0) {
                break;
            }
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        return std::nullopt; // EILSEQ or EINVAL: the bytes do not decode
    }
    out.resize(written);
    return out;
}

// UTF-16 through the decoder the metafiles use too, UTF-32 through iconv; nullopt when
// the bytes do not decode.
std::optional<std::string> DecodeWide(std::string_view bytes, std::string_view name) {
    if (name == "UTF-16LE" || name == "UTF-16BE") {
        return Utf16ToUtf8(bytes,
                           name == "UTF-16LE" ? ByteOrder::LittleEndian : ByteOrder::BigEndian,
                           Utf16Faults::Refuse);
    }
    return ConvertWithIconv(bytes, std::string(name));
}

} // namespace

// ---- public helpers ----

const detail::RawNode* NextSibling(const detail::RawNode* node) noexcept {
    return node->next;
}
const detail::RawAttr* NextSibling(const detail::RawAttr* attr) noexcept {
    return attr->next;
}

std::string EscapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendEscapedText(out, text);
    return out;
}

bool IsValidUtf8(std::string_view bytes) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time.
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        char32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

DecodedText DecodeXmlBytes(std::string_view bytes) {
    static constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
    const auto windows1252 = [](std::string_view b) {
        return DecodedText{Windows1252ToUtf8(b), "WINDOWS-1252"};
    };
    if (StartsWith(bytes, kUtf8Bom)) {
        const auto rest = bytes.substr(kUtf8Bom.size());
        if (IsValidUtf8(rest)) {
            return {std::string(rest), "UTF-8"};
        }
        return windows1252(rest);
    }
    // UTF-32 and UTF-16, by the byte-order mark or by the form "<" (UTF-32) or "<?"
    // (UTF-16) takes in them. The UTF-32 little-endian mark begins with the UTF-16 one,
    // so UTF-32 is asked first.
    struct Wide {
        std::string_view mark;
        const char* name;
        bool skipMark;
    };
    static constexpr std::array<Wide, 8> wides = {{
        {std::string_view("\xFF\xFE\0\0", 4), "UTF-32LE", true},
        {std::string_view("\0\0\xFE\xFF", 4), "UTF-32BE", true},
        {std::string_view("<\0\0\0", 4), "UTF-32LE", false},
        {std::string_view("\0\0\0<", 4), "UTF-32BE", false},
        {std::string_view("\xFF\xFE", 2), "UTF-16LE", true},
        {std::string_view("\xFE\xFF", 2), "UTF-16BE", true},
        {std::string_view("<\0?\0", 4), "UTF-16LE", false},
        {std::string_view("\0<\0?", 4), "UTF-16BE", false},
    }};
    for (const auto& wide : wides) {
        if (StartsWith(bytes, wide.mark)) {
            const auto body = wide.skipMark ? bytes.substr(wide.mark.size()) : bytes;
            if (auto text = DecodeWide(body, wide.name)) {
                return {std::move(*text), wide.name};
            }
            return windows1252(bytes);
        }
    }
    const std::string declared = AsciiUpper(DeclaredEncoding(bytes));
    if (declared.empty() || IsWideName(declared) || IsUtf8Name(declared)) {
        if (IsValidUtf8(bytes)) {
            return {std::string(bytes), "UTF-8"};
        }
        return windows1252(bytes);
    }
    if (IsWindows1252Name(declared)) {
        return windows1252(bytes);
    }
    if (auto text = ConvertWithIconv(bytes, declared)) {
        return {std::move(*text), declared};
    }
    return windows1252(bytes);
}

// ---- Attribute ----

std::string_view Attribute::LocalName() const noexcept {
    return attr_->local;
}

std::string_view Attribute::Prefix() const noexcept {
    return attr_->prefix;
}

std::string Attribute::QualifiedName() const {
    return Qualified(Prefix(), LocalName());
}

std::optional<std::string> Attribute::Value() const {
    if (attr_->value.empty()) {
        return std::nullopt;
    }
    return std::string(attr_->value);
}

std::string_view Attribute::ValueView() const noexcept {
    return attr_->value;
}

// ---- Node ----

NodeType Node::Type() const noexcept {
    return node_->type;
}

std::string_view Node::LocalName() const noexcept {
    if (node_->type == NodeType::Element || node_->type == NodeType::ProcessingInstruction) {
        return node_->local;
    }
    return {};
}

std::string_view Node::Prefix() const noexcept {
    return node_->type == NodeType::Element ? node_->prefix : std::string_view();
}

std::string Node::QualifiedName() const {
    return Qualified(Prefix(), LocalName());
}

std::string_view Node::NamespaceUri() const noexcept {
    return node_->type == NodeType::Element ? node_->uri : std::string_view();
}

NodeRange Node::Children() const noexcept {
    return NodeRange(node_->first);
}

AttributeRange Node::Attributes() const noexcept {
    return AttributeRange(node_->attrs);
}

std::string_view Node::Content() const noexcept {
    switch (node_->type) {
    case NodeType::Text:
    case NodeType::CData:
    case NodeType::Comment:
    case NodeType::ProcessingInstruction:
        return node_->content;
    default:
        return {};
    }
}

std::optional<std::string> Node::Value() const {
    if (node_->type == NodeType::Element) {
        return Text();
    }
    const std::string_view content = Content();
    if (content.empty()) {
        return std::nullopt;
    }
    return std::string(content);
}

std::optional<std::string> Node::Text() const {
    if (node_->type != NodeType::Element) {
        throw XmlTextError();
    }
    const detail::RawNode* child = node_->first;
    if (child == nullptr) {
        return std::nullopt;
    }
    if (child->next != nullptr || child->type != NodeType::Text) {
        throw XmlTextError();
    }
    if (child->content.empty()) {
        return std::nullopt;
    }
    return std::string(child->content);
}

std::string Node::Markup() const {
    // Iterative, so no document can exhaust the stack here.
    std::string out;
    const detail::RawNode* root = node_;
    const detail::RawNode* cur = root;
    while (true) {
        OpenNode(out, cur);
        if (cur->first != nullptr) {
            cur = cur->first;
            continue;
        }
        while (cur != root && cur->next == nullptr) {
            cur = cur->parent;
            CloseElement(out, cur);
        }
        if (cur == root) {
            break;
        }
        cur = cur->next;
    }
    return out;
}

// ---- Document ----

Document::Document(std::unique_ptr<detail::Tree> tree, std::string encoding) noexcept
    : tree_(std::move(tree)), encoding_(std::move(encoding)) {}
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;
Document::~Document() = default;

Node Document::Root() const noexcept {
    return Node(tree_->root);
}

namespace {

// Blanks before the first "<", after a UTF-8 byte-order mark if there is one. Only text
// whose next byte is "<" loses them, so a UTF-16 or UTF-32 text is never cut.
// nullopt when there are none to drop (the bytes are used as they are).
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

// Bytes that DecodeXmlBytes gives back as they are: no byte-order mark and no wide form
// (the text begins with "<" and a byte that is not zero), a declaration of UTF-8 or
// none, and valid UTF-8.
bool IsUtf8AsItStands(std::string_view bytes) {
    if (bytes.size() < 2 || bytes[0] != '<' || bytes[1] == '\0') {
        return false;
    }
    const std::string declared = AsciiUpper(DeclaredEncoding(bytes));
    return (declared.empty() || IsUtf8Name(declared)) && IsValidUtf8(bytes);
}

} // namespace

Document Document::Parse(std::string_view bytes, Dialect dialect) {
    InitialiseOnce();
    const bool feed = dialect == Dialect::Feed;
    const std::optional<std::string> trimmed =
        feed ? WithoutLeadingBlanks(bytes) : std::optional<std::string>();
    const std::string_view source = trimmed ? std::string_view(*trimmed) : bytes;
    // UTF-8 that decodes to itself is parsed where it lies, without a decoded copy.
    DecodedText decoded;
    std::string_view text;
    if (IsUtf8AsItStands(source)) {
        decoded.encoding = "UTF-8";
        text = source;
    } else {
        decoded = DecodeXmlBytes(source);
        text = decoded.utf8;
    }
    std::optional<std::string> repaired;
    if (feed && (repaired = RepairedFeedReferences(text))) {
        text = *repaired;
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        throw XmlParseError("document too large");
    }
    const QuietLibraryErrors quiet;
    std::unique_ptr<xmlParserCtxt, ContextDeleter> ctxt(
        xmlCreateMemoryParserCtxt(text.data(), static_cast<int>(text.size())));
    if (!ctxt) {
        throw XmlParseError(text.empty() ? "empty document" : "cannot create the XML parser");
    }
    // Entities expanded within the default limits (no XML_PARSE_HUGE); no DTD loading,
    // no network; the text is UTF-8 already, so the declaration must not re-decode it.
    xmlCtxtUseOptions(ctxt.get(), XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_IGNORE_ENC);
    detail::TreeBuilder builder(text.size());
    builder.mainContext = ctxt.get();
    ctxt->_private = &builder;
    detail::TreeBuilder::Install(*ctxt->sax);
    ctxt->sax->serror = CollectError;
    ctxt->sax->initialized = XML_SAX2_MAGIC;
    // Messages that bypass the structured handler go nowhere.
    ctxt->sax->warning = nullptr;
    ctxt->sax->error = nullptr;
    ctxt->vctxt.error = nullptr;
    ctxt->vctxt.warning = nullptr;
    xmlSwitchEncoding(ctxt.get(), XML_CHAR_ENCODING_UTF8);
    xmlParseDocument(ctxt.get());
    if (!builder.refusal.empty()) {
        throw XmlParseError("XML document refused: " + builder.refusal);
    }
    auto tree = builder.Finish(ctxt->dict);
    if (!ctxt->wellFormed || tree->root == nullptr) {
        throw XmlParseError(
            "not a well-formed XML document: " +
            (builder.firstError.empty() ? std::string("no document element") : builder.firstError));
    }
    return Document(std::move(tree), std::move(decoded.encoding));
}

} // namespace platform::xml
