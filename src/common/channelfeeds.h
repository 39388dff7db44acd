#pragma once

// Channel feeds: the items of an RSS 0.9x/2.0 feed (inside "channel") or an RSS 1.0 feed
// (beside "channel"), with each item's picture from the RSS 1.0 content module, and the
// text cleaning that turns a title or description into one line of plain text.
//
// Feeds are parsed in the forgiving feed dialect of the XML layer (blanks before the
// declaration, undeclared HTML entities and bare "&" are read as meant); a link may be
// plain text, CDATA or both.
//
// Plain data: a CHFChannel owns its messages and belongs to the thread that loads it;
// nothing is locked. Texts are UTF-8.

#include "platform/xml.h"

#include <string>
#include <string_view>
#include <vector>

struct CHFMessage {
    std::string title;       // after CleanFeedText
    std::string description; // after CleanFeedText
    std::string link;        // the "link" element's text and CDATA, unchanged
    std::string contenturi;  // the picture's cache key; empty when the item has none
};

class CHFChannel {
public:
    std::vector<CHFMessage> messages;

    // Reads the feed at path and appends its items. Errors pass to the caller, and the
    // items appended before one stay: platform::FileError (missing or unreadable file),
    // platform::xml::XmlParseError (not a well-formed document), platform::xml::XmlTextError
    // (a "link" holding an element or a comment; the item holding it and all after it are
    // missing).
    void Load(const std::string& path);
    // The same over a document's bytes.
    void Parse(std::string_view bytes);

    // Appends one message for each "item" child of node.
    void ParseItems(const platform::xml::Node& node);
    // When node is a "content:items" element, takes the item's picture address from it.
    void ParseContentItems(const platform::xml::Node& node, CHFMessage& message);
};

// Turns an element's markup into one line of plain text of at most 1024 bytes (cut at a
// whole UTF-8 character). isText: the element holds only text (entities are decoded
// first, so markup carried as escaped text is removed as markup).
std::string CleanFeedText(std::string_view markup, bool isText);
