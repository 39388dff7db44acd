#pragma once

// The control file model: content hosts, layouts by provider key, topics with their
// channel references, channels with feed addresses, icons and subscription defaults,
// and the software-update offer; plus the user's subscriptions file
// ("subscriptions.dir": one channel id per line, CR LF after each).
//
// Plain data: a CF owns its lists by value and belongs to the thread that built it;
// nothing is locked. Texts are UTF-8 and compared exactly, byte by byte.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CFLayout {
    std::string key; // provider key
    std::string uri; // the layout file's cache key
    std::string serial;
};

struct CFTopicChannel {
    std::string id;
    std::string displaytitle;
    std::string tooltip;
};

struct CFTopic {
    std::string id;
    std::string serial;
    std::string title;
    std::string description;
    std::vector<CFTopicChannel> channelrefs;
};

struct CFChannel {
    std::string id;
    std::string serial;
    std::string title;
    std::string description;
    std::string uri; // the feed's cache key
    std::string iconuri;
    std::string iconserial;
    bool mandatory = false;
    bool subscriptiondefault = false;
    bool subscribed = false; // from the subscriptions file, not from the control file
};

struct CFSwrenew {
    std::string version;
    std::string uri;
    std::string size;
};

// How far CF::Load got. A model that is not complete holds only what came before the
// fault: it must not be cached, nor be reconciled with the subscriptions file.
struct CFLoadResult {
    bool complete = false; // the whole document was read
    bool parsed = false;   // the file was read and is a well-formed document
    std::string error;     // why the load ended early; empty when complete
};

class CF {
public:
    std::string time;
    std::vector<CFTopic> topics;
    std::vector<CFChannel> channels;
    std::vector<std::string> hosts;
    std::vector<CFLayout> layouts;
    std::unique_ptr<CFSwrenew> swrenew;

    // Reads the control file at path into the model. Never throws: a fault ends the
    // load, keeping what was read before it, and the result tells what happened.
    CFLoadResult Load(const std::string& path);
    // The same over a document's bytes.
    CFLoadResult Parse(std::string_view bytes);

    // The last channel with that id; nullptr for an empty id or no match. The channel
    // stays owned by the model.
    CFChannel* FindChannel(std::string_view id);

    // The layout the control file gives a provider key: the last one with exactly that
    // key; nullptr when there is none. Stays owned by the model.
    const CFLayout* LayoutOf(std::string_view providerKey) const;

    // Sets every channel's subscribed flag from the subscriptions file at path; without
    // a file, from mandatory or subscriptiondefault. platform::FileError when the file
    // exists and cannot be read (the flags stay as they were).
    void LoadSubscriptions(const std::string& path);
    // Adds every mandatory channel to the subscribed ones and replaces the file at path
    // atomically with their ids. platform::FileError when it cannot be written.
    void SaveSubscriptions(const std::string& path);
};

// The channel ids of a subscriptions file's text, in file order: its lines (each ending
// at CR LF, CR or LF) without the empty ones. Nothing is trimmed.
std::vector<std::string> ParseSubscriptionIds(std::string_view text);
// The channel ids of the subscriptions file at path; nullopt when no file is there.
// platform::FileError when it exists and cannot be read.
std::optional<std::vector<std::string>> ReadSubscriptionIds(const std::string& path);
