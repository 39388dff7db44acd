#include "platform/xml.h"

#include "platform/xmltext.h"
#include "platform/xmltree.h"

#include <climits>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlerror.h>
#include <malloc.h>
#include <mutex>
#include <optional>

namespace platform::xml {

namespace {

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

// The first error of a parse becomes the exception's text. Nothing goes to stderr, and
// no exception into libxml2's frames: a message that cannot be kept is left out.
void CollectError(void* userData, xmlErrorPtr error) noexcept {
    auto* ctxt = static_cast<xmlParserCtxtPtr>(userData);
    if (ctxt == nullptr || ctxt->_private == nullptr || error == nullptr ||
        error->level < XML_ERR_ERROR) {
        return;
    }
    std::string& first = detail::TreeBuilder::Of(ctxt).firstError;
    if (!first.empty() || error->message == nullptr) {
        return;
    }
    try {
        first = error->message;
        while (!first.empty() && (first.back() == '\n' || first.back() == ' ')) {
            first.pop_back();
        }
        first += " (line " + std::to_string(error->line) + ")";
    } catch (...) {
        first.clear();
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
    return Node(tree_ ? tree_->root : nullptr);
}

Document Document::Parse(std::string_view bytes, Dialect dialect) {
    InitialiseOnce();
    const bool feed = dialect == Dialect::Feed;
    const std::optional<std::string> trimmed =
        feed ? detail::WithoutLeadingBlanks(bytes) : std::optional<std::string>();
    const std::string_view source = trimmed ? std::string_view(*trimmed) : bytes;
    // UTF-8 that decodes to itself is parsed where it lies, without a decoded copy.
    DecodedText decoded;
    std::string_view text;
    if (detail::IsUtf8AsItStands(source)) {
        decoded.encoding = "UTF-8";
        text = source;
    } else {
        decoded = DecodeXmlBytes(source);
        text = decoded.utf8;
    }
    std::optional<std::string> repaired;
    if (feed && (repaired = detail::RepairedFeedReferences(text))) {
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
