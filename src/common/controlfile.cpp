#include "common/controlfile.h"

#include "platform/fileio.h"
#include "platform/xml.h"

#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace {

using platform::xml::Attribute;
using platform::xml::Node;

// A value the format forbids (an empty attribute, a description that is not one plain
// text): it ends the load, keeping what was complete before it.
class CFValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

bool IsElement(const Node& node, std::string_view name) {
    return node.IsElement() && node.LocalName() == name;
}

std::string RequireValue(const Attribute& attr, const Node& owner) {
    auto value = attr.Value();
    if (!value) {
        throw CFValueError("empty attribute \"" + attr.QualifiedName() + "\" in a \"" +
                           owner.QualifiedName() + "\" element");
    }
    return std::move(*value);
}

// Reads the named attributes of an element, in document order, into their fields.
void ReadAttributes(const Node& element,
                    std::initializer_list<std::pair<std::string_view, std::string*>> fields) {
    for (const Attribute attr : element.Attributes()) {
        const auto name = attr.LocalName();
        for (const auto& [wanted, field] : fields) {
            if (name == wanted) {
                *field = RequireValue(attr, element);
            }
        }
    }
}

std::string RequireText(const Node& element) {
    std::optional<std::string> text;
    try {
        text = element.Text();
    } catch (const platform::xml::XmlTextError& e) {
        throw CFValueError("\"" + element.QualifiedName() + "\" element: " + e.what());
    }
    if (!text) {
        throw CFValueError("empty \"" + element.QualifiedName() + "\" element");
    }
    return std::move(*text);
}

void ReadHosts(const Node& hosts, CF& cf) {
    for (const Node child : hosts.Children()) {
        if (!IsElement(child, "host")) {
            continue;
        }
        std::string name;
        ReadAttributes(child, {{"name", &name}});
        if (!name.empty()) {
            cf.hosts.push_back(std::move(name));
        }
    }
}

void ReadLayout(const Node& element, CF& cf) {
    CFLayout layout;
    ReadAttributes(element,
                   {{"uri", &layout.uri}, {"key", &layout.key}, {"serial", &layout.serial}});
    if (!layout.uri.empty() && !layout.key.empty()) {
        cf.layouts.push_back(std::move(layout));
    }
}

void ReadSwrenew(const Node& element, CF& cf) {
    auto offer = std::make_unique<CFSwrenew>();
    ReadAttributes(element,
                   {{"version", &offer->version}, {"uri", &offer->uri}, {"size", &offer->size}});
    if (!offer->version.empty() && !offer->uri.empty()) {
        cf.swrenew = std::move(offer);
    }
}

void ReadTopic(const Node& element, CF& cf) {
    CFTopic topic;
    ReadAttributes(element,
                   {{"id", &topic.id}, {"serial", &topic.serial}, {"title", &topic.title}});
    if (topic.id.empty()) {
        return;
    }
    for (const Node child : element.Children()) {
        if (IsElement(child, "description")) {
            topic.description = RequireText(child);
        } else if (IsElement(child, "channelref")) {
            CFTopicChannel ref;
            ReadAttributes(
                child,
                {{"id", &ref.id}, {"displaytitle", &ref.displaytitle}, {"tooltip", &ref.tooltip}});
            if (!ref.id.empty() && !ref.displaytitle.empty()) {
                topic.channelrefs.push_back(std::move(ref));
            }
        }
    }
    cf.topics.push_back(std::move(topic));
}

void ReadChannel(const Node& element, CF& cf) {
    CFChannel channel;
    std::string mandatory;
    std::string subscriptiondefault;
    ReadAttributes(element, {{"id", &channel.id},
                             {"serial", &channel.serial},
                             {"mandatory", &mandatory},
                             {"subscriptiondefault", &subscriptiondefault},
                             {"title", &channel.title},
                             {"uri", &channel.uri}});
    // Only the exact lower-case word counts.
    channel.mandatory = mandatory == "true";
    channel.subscriptiondefault = subscriptiondefault == "true";
    for (const Node child : element.Children()) {
        if (IsElement(child, "description")) {
            channel.description = RequireText(child);
        } else if (IsElement(child, "icon")) {
            std::string iconId; // read for its value check, not kept
            ReadAttributes(
                child,
                {{"uri", &channel.iconuri}, {"serial", &channel.iconserial}, {"id", &iconId}});
        }
    }
    if (!channel.id.empty()) {
        cf.channels.push_back(std::move(channel));
    }
}

void ReadDocument(const Node& root, CF& cf) {
    ReadAttributes(root, {{"time", &cf.time}});
    for (const Node child : root.Children()) {
        if (!child.IsElement()) {
            continue;
        }
        const auto name = child.LocalName();
        if (name == "hosts") {
            ReadHosts(child, cf);
        } else if (name == "layout") {
            ReadLayout(child, cf);
        } else if (name == "topics") {
            for (const Node topic : child.Children()) {
                if (IsElement(topic, "topic")) {
                    ReadTopic(topic, cf);
                }
            }
        } else if (name == "channels") {
            for (const Node channel : child.Children()) {
                if (IsElement(channel, "channel")) {
                    ReadChannel(channel, cf);
                }
            }
        } else if (name == "swrenew") {
            ReadSwrenew(child, cf);
        }
    }
}

} // namespace

CFLoadResult CF::Parse(std::string_view bytes) {
    CFLoadResult result;
    try {
        const auto doc = platform::xml::Document::Parse(bytes);
        result.parsed = true;
        ReadDocument(doc.Root(), *this);
        result.complete = true;
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

CFLoadResult CF::Load(const std::string& path) {
    std::optional<std::string> bytes;
    try {
        bytes = platform::ReadFile(path);
    } catch (const std::exception& e) {
        CFLoadResult result;
        result.error = e.what();
        return result;
    }
    if (!bytes) {
        CFLoadResult result;
        result.error = "no file at " + path;
        return result;
    }
    return Parse(*bytes);
}

CFChannel* CF::FindChannel(std::string_view id) {
    if (id.empty()) {
        return nullptr;
    }
    CFChannel* found = nullptr;
    for (auto& channel : channels) {
        if (channel.id == id) {
            found = &channel;
        }
    }
    return found;
}

const CFLayout* CF::LayoutOf(std::string_view providerKey) const {
    const CFLayout* found = nullptr;
    for (const CFLayout& layout : layouts) {
        if (layout.key == providerKey) {
            found = &layout; // the last match wins
        }
    }
    return found;
}

void CF::LoadSubscriptions(const std::string& path) {
    const auto ids = ReadSubscriptionIds(path);
    if (!ids) {
        for (auto& channel : channels) {
            channel.subscribed = channel.mandatory || channel.subscriptiondefault;
        }
        return;
    }
    const std::unordered_set<std::string> lines(ids->begin(), ids->end());
    for (auto& channel : channels) {
        channel.subscribed = lines.count(channel.id) != 0;
    }
}

void CF::SaveSubscriptions(const std::string& path) {
    // The flags are written as they stand, with or without an earlier file, so a first
    // choice in the subscription dialog is kept; mandatory channels are always in.
    std::string text;
    for (auto& channel : channels) {
        channel.subscribed = channel.subscribed || channel.mandatory;
        if (channel.subscribed) {
            text += channel.id;
            text += "\r\n";
        }
    }
    platform::AtomicWriteFile(path, text);
}

std::vector<std::string> ParseSubscriptionIds(std::string_view text) {
    std::vector<std::string> ids = platform::SplitLines(text);
    // An empty line names no channel.
    std::erase_if(ids, [](const std::string& id) { return id.empty(); });
    return ids;
}

std::optional<std::vector<std::string>> ReadSubscriptionIds(const std::string& path) {
    const auto bytes = platform::ReadFile(path);
    if (!bytes) {
        return std::nullopt;
    }
    return ParseSubscriptionIds(*bytes);
}
