#pragma once

// The text conversions that document readers share with the system's variant type:
// a text to a boolean, and the error an empty (null) value gives when read as text.
// The messages are the variant type's own, so a caller that shows them shows what
// users of the system have always seen.

#include <stdexcept>
#include <string_view>

namespace platform {

class VariantConversionError : public std::runtime_error {
public:
    // "Could not convert variant of type (FROM) into type (TO)"
    VariantConversionError(std::string_view from, std::string_view to);
};

// "true" or "false" in any letter case, or a number (optional blanks, an optional sign,
// decimal digits with an optional fraction): zero is false, any other number true.
// Anything else throws VariantConversionError (String into Boolean).
bool VariantTextToBool(std::string_view text);

// The error of reading a value that is not there (an empty text) as the given type.
[[noreturn]] void ThrowNullVariant(std::string_view to);

} // namespace platform
