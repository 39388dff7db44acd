#include "platform/xmltree.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <libxml/parser.h> // and dict.h, which needs the string type first
#include <libxml/parserInternals.h>
#include <memory>

namespace platform::xml::detail {

namespace {

// libxml2's own limit for one text node without XML_PARSE_HUGE (its tree builder's, for
// text; CDATA sections are limited by its parser). Its tree builder stopped at such a
// text and kept the document cut short there; a document that long is refused instead.
constexpr std::size_t kMaxTextNode = XML_MAX_TEXT_LENGTH;

// libxml2's default nesting limit (xmlParserMaxDepth) without XML_PARSE_HUGE.
constexpr std::size_t kMaxDepth = 256;

constexpr std::size_t kNameSlots = 256;

xmlParserCtxtPtr Context(void* ctx) noexcept {
    return static_cast<xmlParserCtxtPtr>(ctx);
}

std::string_view View(const xmlChar* s) noexcept {
    return s == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(s));
}

// Splits "prefix:local" as libxml2's tree holds a name whose prefix is not declared.
void SplitUndeclared(std::string_view name, std::string_view& prefix, std::string_view& local) {
    const auto colon = name.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == name.size()) {
        prefix = {};
        local = name;
        return;
    }
    prefix = name.substr(0, colon);
    local = name.substr(colon + 1);
}

} // namespace

// ---- Arena ----

void* Arena::Allocate(std::size_t size, std::size_t align) {
    void* at = next_;
    std::size_t space = std::size_t(end_ - next_);
    if (next_ != nullptr && std::align(align, size, at, space) != nullptr) {
        next_ = static_cast<std::byte*>(at) + size;
        return at;
    }
    if (size + align > kBlock / 4) {
        // A large text gets a block of its own; the current one goes on being filled.
        std::size_t ownSpace = size + align;
        void* own = blocks_.emplace_back(new std::byte[ownSpace]).get();
        return std::align(align, size, own, ownSpace);
    }
    next_ = blocks_.emplace_back(new std::byte[kBlock]).get();
    end_ = next_ + kBlock;
    return Allocate(size, align);
}

std::string_view Arena::Copy(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    auto* at = static_cast<char*>(Allocate(text.size(), 1));
    std::memcpy(at, text.data(), text.size());
    return {at, text.size()};
}

void DictDeleter::operator()(_xmlDict* dict) const noexcept {
    xmlDictFree(dict);
}

// ---- TreeBuilder ----

TreeBuilder::TreeBuilder(std::size_t documentSize)
    : tree_(std::make_unique<Tree>()),
      expansionLimit_(std::max<std::size_t>(kMaxTextNode, documentSize * 10)), names_(kNameSlots) {}

TreeBuilder& TreeBuilder::Of(void* parserContext) noexcept {
    return *static_cast<TreeBuilder*>(Context(parserContext)->_private);
}

// Names are the parser's dictionary strings, which the tree keeps alive: a view needs no
// copy, and the few names a document uses come again and again, so their views are kept
// by address. A name the dictionary does not hold (none is known) is copied.
std::string_view TreeBuilder::Name(const xmlChar* name) {
    if (name == nullptr) {
        return {};
    }
    NameSlot& slot = names_[(reinterpret_cast<std::uintptr_t>(name) >> 3) % kNameSlots];
    if (slot.name == name) {
        return slot.view;
    }
    const std::string_view view = View(name);
    if (xmlDictOwns(Context(mainContext)->dict, name) != 1) {
        return tree_->arena.Copy(view);
    }
    slot = {name, view};
    return view;
}

void TreeBuilder::SetNames(RawNode& node, const xmlChar* local, const xmlChar* prefix,
                           const xmlChar* uri) {
    node.local = Name(local);
    node.prefix = Name(prefix);
    if (uri != nullptr) {
        node.uri = Name(uri);
    } else if (prefix == nullptr) {
        SplitUndeclared(node.local, node.prefix, node.local);
    }
}

void TreeBuilder::Append(RawNode* node) noexcept {
    node->parent = open_;
    if (open_->last != nullptr) {
        open_->last->next = node;
    } else {
        open_->first = node;
    }
    open_->last = node;
}

void TreeBuilder::Flush() {
    if (!hasPending_) {
        return;
    }
    hasPending_ = false;
    auto* node = tree_->arena.New<RawNode>();
    node->type = pendingType_;
    node->content = tree_->arena.Copy(pending_);
    pending_.clear();
    Append(node);
}

// What entities expand to is charged against the limit: inside an expansion every node,
// attribute and namespace record with its text, and everywhere the attribute values
// (libxml2 expands references into them). Past the limit the document is refused and
// the parse stopped: libxml2 2.9 checks the amplification of a tree it copies, not that
// of events it sends again for every reference.
bool TreeBuilder::Charged(void* context, std::size_t inExpansion, std::size_t anywhere) {
    charged_ += anywhere + (context == mainContext ? 0 : inExpansion);
    if (charged_ <= expansionLimit_) {
        return true;
    }
    Refuse(context, "entity expansion exceeds " + std::to_string(expansionLimit_) + " bytes");
    return false;
}

void TreeBuilder::Refuse(void* context, std::string reason) noexcept {
    if (refusal.empty()) {
        refusal = std::move(reason);
    }
    xmlStopParser(Context(context));
    if (context != mainContext) {
        xmlStopParser(Context(mainContext));
    }
}

void TreeBuilder::AddText(void* context, NodeType type, const xmlChar* text, int len) {
    if (open_ == nullptr || len < 0 || !Charged(context, std::size_t(len), 0)) {
        return;
    }
    if (hasPending_ && pendingType_ != type) {
        Flush();
    }
    if (type == NodeType::Text && pending_.size() + std::size_t(len) > kMaxTextNode) {
        Refuse(context, "text node larger than " + std::to_string(kMaxTextNode) + " bytes");
        return;
    }
    hasPending_ = true;
    pendingType_ = type;
    pending_.append(reinterpret_cast<const char*>(text), std::size_t(len));
}

void TreeBuilder::AddLeaf(void* context, NodeType type, std::string_view local,
                          std::string_view content) {
    Flush();
    if (open_ == nullptr || !Charged(context, sizeof(RawNode) + content.size(), 0)) {
        return;
    }
    auto* node = tree_->arena.New<RawNode>();
    node->type = type;
    node->local = tree_->arena.Copy(local);
    node->content = tree_->arena.Copy(content);
    Append(node);
}

// Attributes the document type only defaults are not passed (libxml2 adds them to its
// tree only when asked to).
void TreeBuilder::StartElement(void* context, const xmlChar* localname, const xmlChar* prefix,
                               const xmlChar* uri, int nbNamespaces, const xmlChar** namespaces,
                               int nbAttributes, const xmlChar** attributes) {
    Flush();
    if ((open_ == nullptr && root_ != nullptr) ||
        !Charged(context, sizeof(RawNode) + std::size_t(nbNamespaces) * sizeof(RawNs), 0)) {
        return;
    }
    // libxml2 limits the nesting of each expansion on its own; the tree as a whole keeps
    // the document's limit.
    if (depth_ > kMaxDepth) {
        Refuse(context, "elements nested deeper than " + std::to_string(kMaxDepth));
        return;
    }
    Arena& arena = tree_->arena;
    auto* node = arena.New<RawNode>();
    node->type = NodeType::Element;
    SetNames(*node, localname, prefix, uri);
    const RawNs** nsTail = &node->nsDefs;
    for (std::ptrdiff_t i = 0; i < nbNamespaces; ++i) {
        auto* ns = arena.New<RawNs>();
        ns->prefix = Name(namespaces[2 * i]);
        ns->href = Name(namespaces[2 * i + 1]);
        *nsTail = ns;
        nsTail = &ns->next;
    }
    const RawAttr** attrTail = &node->attrs;
    for (std::ptrdiff_t i = 0; i < nbAttributes; ++i) {
        const xmlChar* const* a = attributes + 5 * i;
        const std::string_view value(reinterpret_cast<const char*>(a[3]), std::size_t(a[4] - a[3]));
        if (!Charged(context, sizeof(RawAttr), value.size())) {
            return;
        }
        RawNode names;
        SetNames(names, a[0], a[1], a[2]);
        auto* attr = arena.New<RawAttr>();
        attr->local = names.local;
        attr->prefix = names.prefix;
        attr->value = arena.Copy(value);
        *attrTail = attr;
        attrTail = &attr->next;
    }
    if (open_ != nullptr) {
        Append(node);
    } else {
        root_ = node;
    }
    open_ = node;
    ++depth_;
}

std::unique_ptr<Tree> TreeBuilder::Finish(_xmlDict* dict) {
    Flush();
    // The names are views on the dictionary: without it there is no tree.
    if (dict == nullptr || xmlDictReference(dict) != 0) {
        throw XmlParseError("the parser's names cannot be kept");
    }
    tree_->dict.reset(dict);
    tree_->root = root_;
    return std::move(tree_);
}

// The handlers, as libxml2 calls them. No exception may pass through the parser's C
// frames: one (only memory can run out here) refuses the document.
template <typename Body> void Guarded(void* ctx, Body&& body) noexcept {
    try {
        body(TreeBuilder::Of(ctx));
    } catch (...) {
        TreeBuilder::Of(ctx).Refuse(ctx, "out of memory"); // short enough to need no heap
    }
}

struct Events {
    static void StartElement(void* ctx, const xmlChar* localname, const xmlChar* prefix,
                             const xmlChar* uri, int nbNamespaces, const xmlChar** namespaces,
                             int nbAttributes, int nbDefaulted, const xmlChar** attributes) {
        Guarded(ctx, [&](TreeBuilder& b) {
            b.StartElement(ctx, localname, prefix, uri, nbNamespaces, namespaces,
                           nbAttributes - nbDefaulted, attributes);
        });
    }

    static void EndElement(void* ctx, const xmlChar* /*localname*/, const xmlChar* /*prefix*/,
                           const xmlChar* /*uri*/) {
        Guarded(ctx, [](TreeBuilder& b) {
            b.Flush();
            if (b.open_ != nullptr) {
                b.open_ = b.open_->parent;
                --b.depth_;
            }
        });
    }

    static void Characters(void* ctx, const xmlChar* text, int len) {
        Guarded(ctx, [&](TreeBuilder& b) { b.AddText(ctx, NodeType::Text, text, len); });
    }

    static void CData(void* ctx, const xmlChar* text, int len) {
        // An empty section is a node too: AddText keeps it pending without text.
        Guarded(ctx, [&](TreeBuilder& b) { b.AddText(ctx, NodeType::CData, text, len); });
    }

    static void Comment(void* ctx, const xmlChar* text) {
        Guarded(ctx, [&](TreeBuilder& b) { b.AddLeaf(ctx, NodeType::Comment, {}, View(text)); });
    }

    static void ProcessingInstruction(void* ctx, const xmlChar* target, const xmlChar* data) {
        Guarded(ctx, [&](TreeBuilder& b) {
            b.AddLeaf(ctx, NodeType::ProcessingInstruction, View(target), View(data));
        });
    }

    // Called for every reference the parser expands. What an entity expands to joins the
    // text around it, but libxml2's tree never joined a CDATA section across the
    // reference, so one that is pending ends here.
    static xmlEntityPtr GetEntity(void* ctx, const xmlChar* name) {
        Guarded(ctx, [](TreeBuilder& b) {
            if (b.hasPending_ && b.pendingType_ == NodeType::CData) {
                b.Flush();
            }
        });
        return xmlSAX2GetEntity(ctx, name);
    }

    static void Reference(void* ctx, const xmlChar* name) {
        Guarded(ctx, [&](TreeBuilder& b) { b.AddLeaf(ctx, NodeType::Other, View(name), {}); });
    }
};

void TreeBuilder::Install(_xmlSAXHandler& sax) noexcept {
    sax.startElementNs = Events::StartElement;
    sax.endElementNs = Events::EndElement;
    sax.characters = Events::Characters;
    // Blanks are kept as text, the way the tree builder keeps them by default.
    sax.ignorableWhitespace = Events::Characters;
    sax.cdataBlock = Events::CData;
    sax.comment = Events::Comment;
    sax.processingInstruction = Events::ProcessingInstruction;
    sax.reference = Events::Reference;
    sax.getEntity = Events::GetEntity;
}

} // namespace platform::xml::detail
