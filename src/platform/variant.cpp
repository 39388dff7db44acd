#include "platform/variant.h"

#include "platform/textcase.h"

#include <string>

namespace platform {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

VariantConversionError::VariantConversionError(std::string_view from, std::string_view to)
    : std::runtime_error("Could not convert variant of type (" + std::string(from) +
                         ") into type (" + std::string(to) + ")") {}

bool VariantTextToBool(std::string_view text) {
    if (EqualsNoCase(text, "true")) {
        return true;
    }
    if (EqualsNoCase(text, "false")) {
        return false;
    }
    size_t i = 0;
    const auto skipBlanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
    };
    skipBlanks();
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    bool digits = false;
    bool nonZero = false;
    const auto readDigits = [&] {
        for (; i < text.size() && IsDigit(text[i]); ++i) {
            digits = true;
            nonZero = nonZero || text[i] != '0';
        }
    };
    readDigits();
    if (i < text.size() && text[i] == '.') {
        ++i;
        readDigits();
    }
    skipBlanks();
    if (!digits || i != text.size()) {
        throw VariantConversionError("String", "Boolean");
    }
    return nonZero;
}

void ThrowNullVariant(std::string_view to) {
    throw VariantConversionError("Null", to);
}

} // namespace platform
