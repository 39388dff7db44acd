#pragma once

// XML documents for the readers of the control file, channel feeds and layouts: a parsed
// document with read-only views of its nodes, backed by libxml2.
//
// What the readers rely on:
// - Bytes are decoded by DecodeXmlBytes (below) and held as UTF-8. Names are compared
//   exactly and case-sensitively by the readers; a node gives its local name and its
//   prefix as written in the document (an undeclared prefix is split off the same way).
// - Children and attributes come in document order. Text, CDATA sections, comments and
//   processing instructions are nodes of their own kind; CDATA is never merged into text.
// - An empty text has no value (Attribute::Value, Node::Text give nullopt), which the
//   readers treat as a value error.
// - Internal entities are expanded within libxml2's amplification limits, and all that
//   they expand to together stays within 10 MB or ten times the document's size,
//   whichever is more. External entities and DTDs are never loaded, nothing touches the
//   network or the file system, and a document nested deeper than libxml2's default
//   limit (256 levels, expansions included) or holding a text of more than 10 MB is
//   refused.
// - The library never writes to stderr: every message of a parse goes to that parse's
//   own handlers (the first error becomes the exception's text).
//
// Threads: any thread may parse at any time (the library is initialised once, every
// parse has its own context and tree, and the calling thread's library-wide error
// handlers are set for the parse and restored after it). A Document and its views
// belong to one thread at a time.
// Node and Attribute are views: they stay valid as long as their Document lives.

#include <cstddef>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::xml {

namespace detail {
// The stored tree the views read (xmltree.h).
struct RawNode;
struct RawAttr;
struct Tree;
} // namespace detail

class XmlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bytes are not a well-formed document (or could not be decoded at all).
class XmlParseError : public XmlError {
public:
    using XmlError::XmlError;
};

// An element's content was asked for as one text and is not one plain text node.
class XmlTextError : public XmlError {
public:
    XmlTextError() : XmlError("Element does not contain a single text node") {}
};

enum class NodeType {
    Element,
    Text,
    CData,
    Comment,
    ProcessingInstruction,
    Other, // entity references, XInclude markers and the like; readers skip them
};

class Attribute {
public:
    explicit Attribute(const detail::RawAttr* attr) noexcept : attr_(attr) {}

    std::string_view LocalName() const noexcept;
    std::string_view Prefix() const noexcept;
    // "prefix:local", or the local name alone.
    std::string QualifiedName() const;
    // The value; nullopt when it is empty.
    std::optional<std::string> Value() const;
    // The value where it is stored; empty when it is empty.
    std::string_view ValueView() const noexcept;

private:
    const detail::RawAttr* attr_;
};

class Node;

const detail::RawNode* NextSibling(const detail::RawNode* node) noexcept;
const detail::RawAttr* NextSibling(const detail::RawAttr* attr) noexcept;

// Iterates over sibling nodes or attributes from a first one (forward only).
template <typename T, typename Raw> class Siblings {
public:
    class iterator {
    public:
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(Raw* raw) noexcept : raw_(raw) {}
        T operator*() const noexcept { return T(raw_); }
        iterator& operator++() noexcept {
            raw_ = NextSibling(raw_);
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator& other) const noexcept { return raw_ == other.raw_; }

    private:
        Raw* raw_ = nullptr;
    };

    explicit Siblings(Raw* first) noexcept : first_(first) {}
    iterator begin() const noexcept { return iterator(first_); }
    iterator end() const noexcept { return iterator(); }
    bool empty() const noexcept { return first_ == nullptr; }

private:
    Raw* first_;
};

using NodeRange = Siblings<Node, const detail::RawNode>;
using AttributeRange = Siblings<Attribute, const detail::RawAttr>;

class Node {
public:
    explicit Node(const detail::RawNode* node) noexcept : node_(node) {}

    NodeType Type() const noexcept;
    bool IsElement() const noexcept { return Type() == NodeType::Element; }
    // For elements; a processing instruction gives its target; empty for other nodes.
    std::string_view LocalName() const noexcept;
    std::string_view Prefix() const noexcept;
    std::string QualifiedName() const;
    // The element's namespace address, empty when it has none.
    std::string_view NamespaceUri() const noexcept;

    NodeRange Children() const noexcept;
    AttributeRange Attributes() const noexcept;

    // Text, CDATA, comment, processing instruction: the content; nullopt when empty.
    // Elements: see Text.
    std::optional<std::string> Value() const;
    // Text, CDATA, comment, processing instruction: the content where it is stored (empty
    // when it is empty); empty for every other node.
    std::string_view Content() const noexcept;

    // An element's content as one text: nullopt when the element has no children, its
    // text when it holds exactly one plain text node; XmlTextError otherwise (child
    // elements, CDATA, comments, several parts).
    std::optional<std::string> Text() const;

    // The node written out in UTF-8. In text only "&", "<" and ">" are escaped (as
    // "&amp;", "&lt;", "&gt;"); attribute values escape those and the double quote;
    // every other character stands as itself. An element without children is written
    // as an empty-element tag.
    std::string Markup() const;

private:
    const detail::RawNode* node_;
};

// Escapes "&", "<" and ">" the way Markup writes text.
std::string EscapeText(std::string_view text);

// Decodes a document's bytes to UTF-8:
// - a UTF-8 byte-order mark, or a declaration of UTF-8: UTF-8 (Windows-1252 when the
//   bytes are not valid UTF-8);
// - a declaration of ISO-8859-1, US-ASCII or Windows-1252, or no declaration and bytes
//   that are not valid UTF-8: Windows-1252, so the characters such documents carry in
//   0x80-0x9F survive;
// - no declaration and valid UTF-8: UTF-8;
// - a UTF-32 or UTF-16 byte-order mark (or the UTF-32 or UTF-16 form of "<"): that
//   encoding (Windows-1252 when the bytes do not decode in it, which the parser then
//   refuses for the zero bytes it meets);
// - any other declared encoding: that encoding, and Windows-1252 when it is unknown or
//   the bytes do not decode in it.
struct DecodedText {
    std::string utf8;
    std::string encoding; // the encoding used: "UTF-8", "WINDOWS-1252", or the declared name
};
DecodedText DecodeXmlBytes(std::string_view bytes);

bool IsValidUtf8(std::string_view bytes) noexcept;

// How much a parse forgives. Strict: well-formed XML only. Feed: the faults that real
// feeds commonly carry are read as they were meant, and nothing else changes:
//   - blanks (space, tab, CR, LF) before the first "<" are ignored, so a blank line
//     before the XML declaration does not refuse the document;
//   - a reference to one of the 252 named entities of HTML 4 ("&nbsp;", "&eacute;")
//     that the document does not declare stands for that entity's character;
//   - an "&" that starts no reference (a name or a character number closed by ";")
//     stands for itself; inside CDATA, comments, processing instructions and the
//     document type it is left alone.
enum class Dialect { Strict, Feed };

// A parsed document; owns its tree (parsed by libxml2, stored in blocks of its own that
// are freed whole). Movable, not copyable.
class Document {
public:
    // Decodes and parses the bytes; throws XmlParseError when they are not a well-formed
    // document in the dialect (hostile size, entity amplification and nesting included).
    static Document Parse(std::string_view bytes, Dialect dialect = Dialect::Strict);

    Document(Document&&) noexcept;
    Document& operator=(Document&&) noexcept;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    ~Document();

    Node Root() const noexcept;
    const std::string& Encoding() const noexcept { return encoding_; }

private:
    Document(std::unique_ptr<detail::Tree> tree, std::string encoding) noexcept;

    std::unique_ptr<detail::Tree> tree_;
    std::string encoding_;
};

} // namespace platform::xml
