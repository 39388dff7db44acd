#pragma once

// The stored tree of a parsed document, which the views of xml.h read, and its builder,
// which libxml2's parser feeds through its event interface (no libxml2 tree is made).
//
// Why a tree of our own: libxml2's tree costs one heap block per node, name and text, and
// a walk over the whole tree to free it. Here nodes, attributes and texts sit in document
// order in a few large blocks that are freed whole, lengths are stored, and names are
// views on the parser's dictionary, which the tree keeps alive.
//
// The builder gives the tree libxml2's own tree would have for the options the parse
// uses (entities substituted, blanks kept, defaulted attributes left out): adjacent text
// is one node, text an entity expands to included, and so are adjacent CDATA sections
// (not across an entity reference); an undeclared prefix is split off the name; entity
// references the parser reports (undeclared ones in a document with an external subset)
// are nodes of their own. Nothing outside the document element is kept. Where it differs
// on purpose: an entity's markup takes the namespaces in scope where it is referenced,
// and a document is refused where libxml2's tree builder would have cut it short (a text
// over 10 MB) or let it grow without bound (what entities expand to, nesting inside
// expansions).
//
// Internal header of the XML layer.

#include "platform/xml.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct _xmlDict;       // NOLINT(bugprone-reserved-identifier): libxml2's own tag
struct _xmlSAXHandler; // NOLINT(bugprone-reserved-identifier)

namespace platform::xml::detail {

struct RawNs {
    std::string_view prefix; // empty for the default namespace
    std::string_view href;
    const RawNs* next = nullptr;
};

struct RawAttr {
    std::string_view local;
    std::string_view prefix;
    std::string_view value;
    const RawAttr* next = nullptr;
};

struct RawNode {
    NodeType type = NodeType::Other;
    std::string_view local;   // an element's local name, a PI's target, a reference's name
    std::string_view prefix;  // an element's prefix
    std::string_view uri;     // an element's namespace address
    std::string_view content; // text, CDATA, comment, PI data
    RawNode* parent = nullptr;
    RawNode* first = nullptr; // children
    RawNode* last = nullptr;
    RawNode* next = nullptr;
    const RawAttr* attrs = nullptr;
    const RawNs* nsDefs = nullptr; // the namespaces an element declares
};

// Storage that only grows and is freed whole. Blocks stay below the C library's mmap
// threshold, so they come from (and go back to) the heap a parse has warmed up, instead
// of costing fresh pages every time.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    Arena(Arena&&) noexcept = default;
    Arena& operator=(Arena&&) noexcept = default;
    ~Arena() = default;

    void* Allocate(std::size_t size, std::size_t align);
    template <typename T> T* New() { return new (Allocate(sizeof(T), alignof(T))) T(); }
    std::string_view Copy(std::string_view text);

private:
    static constexpr std::size_t kBlock = 64 * 1024 - 64;
    std::vector<std::unique_ptr<std::byte[]>> blocks_;
    std::byte* next_ = nullptr;
    std::byte* end_ = nullptr;
};

struct DictDeleter {
    void operator()(_xmlDict* dict) const noexcept;
};

struct Tree {
    Arena arena;
    std::unique_ptr<_xmlDict, DictDeleter> dict; // the names the nodes view
    const RawNode* root = nullptr;
};

// Builds one parse's tree. Install sets the event handlers; the parser context's
// _private must point at the builder (Of finds it again, in entity expansions too).
class TreeBuilder {
public:
    // documentSize: the size of the text parsed, for the expansion limit.
    explicit TreeBuilder(std::size_t documentSize);

    static void Install(_xmlSAXHandler& sax) noexcept;
    static TreeBuilder& Of(void* parserContext) noexcept;

    // Takes the finished tree, which keeps a reference to the parse's dictionary.
    // XmlParseError when it cannot.
    std::unique_ptr<Tree> Finish(_xmlDict* dict);

    // The first error of the parse, with its line; empty when none was reported.
    std::string firstError;

    // Set by the handlers once the document is refused for something libxml2 does not
    // check (the expansion limit, a text over libxml2's own limit for one node).
    std::string refusal;

    // The parse's own context; events from any other come from an entity's expansion.
    void* mainContext = nullptr;

    // Refuses the document for the reason and stops the parse.
    void Refuse(void* context, std::string reason) noexcept;

private:
    friend struct Events;

    struct NameSlot {
        const unsigned char* name = nullptr;
        std::string_view view;
    };

    std::string_view Name(const unsigned char* name);
    void SetNames(RawNode& node, const unsigned char* local, const unsigned char* prefix,
                  const unsigned char* uri);
    void Append(RawNode* node) noexcept;
    void StartElement(void* context, const unsigned char* localname, const unsigned char* prefix,
                      const unsigned char* uri, int nbNamespaces, const unsigned char** namespaces,
                      int nbAttributes, const unsigned char** attributes);
    void Flush();
    void AddText(void* context, NodeType type, const unsigned char* text, int len);
    void AddLeaf(void* context, NodeType type, std::string_view local, std::string_view content);
    bool Charged(void* context, std::size_t inExpansion, std::size_t anywhere);

    std::unique_ptr<Tree> tree_;
    RawNode* root_ = nullptr;
    RawNode* open_ = nullptr; // the element being built
    std::string pending_;     // text (or CDATA) not yet stored, merged as it comes
    NodeType pendingType_ = NodeType::Text;
    bool hasPending_ = false;
    std::size_t charged_ = 0;
    std::size_t depth_ = 0; // elements open
    std::size_t expansionLimit_;
    std::vector<NameSlot> names_;
};

} // namespace platform::xml::detail
