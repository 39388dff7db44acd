// The feed reader and the text cleaning on arbitrary bytes: only the documented errors
// come out, and every cleaned text is one line of at most 1024 bytes that stays valid
// UTF-8 when its input was.

#include "common/channelfeeds.h"
#include "platform/xml.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void CheckClean(const std::string& text, bool inputValid) {
    if (text.size() > 1024 || text.find("  ") != std::string::npos ||
        (!text.empty() && text.front() == ' ') ||
        // a cut may end the text on a blank; it takes at most three bytes back
        (!text.empty() && text.size() < 1021 && text.back() == ' ')) {
        std::abort();
    }
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 32) {
            std::abort();
        }
    }
    if (inputValid && !platform::xml::IsValidUtf8(text)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CHFChannel feed;
    try {
        feed.Parse(bytes);
    } catch (const platform::xml::XmlError&) {
        // Not well-formed, or a link that is not plain text: the items before it stay.
    }
    for (const auto& m : feed.messages) {
        CheckClean(m.title, true);
        CheckClean(m.description, true);
    }
    const bool valid = platform::xml::IsValidUtf8(bytes);
    CheckClean(CleanFeedText(bytes, true), valid);
    CheckClean(CleanFeedText(bytes, false), valid);
    return 0;
}
