#pragma once

// A document's text before it is parsed: decoding to UTF-8 (DecodeXmlBytes and
// IsValidUtf8 of xml.h, xmldecode.cpp) and the feed dialect's repairs (xmlfeed.cpp).
// Internal header of the XML layer.

#include <optional>
#include <string>
#include <string_view>

namespace platform::xml::detail {

inline bool IsBlankByte(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Bytes that DecodeXmlBytes gives back as they are: no byte-order mark and no wide form
// (the text begins with "<" and a byte that is not zero), a declaration of UTF-8 or
// none, and valid UTF-8.
bool IsUtf8AsItStands(std::string_view bytes);

// Blanks before the first "<", after a UTF-8 byte-order mark if there is one. Only text
// whose next byte is "<" loses them, so a UTF-16 or UTF-32 text is never cut.
// nullopt when there are none to drop (the bytes are used as they are).
std::optional<std::string> WithoutLeadingBlanks(std::string_view bytes);

// The feed repairs of references, on the decoded text outside the literal sections:
// an "&" that starts no reference is written "&amp;", and a reference to an HTML 4
// entity that the document does not declare is replaced by its character, so it reads
// the same in content and in attribute values. The document type is left as written.
// nullopt when the text needs no repair (it is not copied).
std::optional<std::string> RepairedFeedReferences(std::string_view text);

} // namespace platform::xml::detail
