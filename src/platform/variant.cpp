#include "platform/variant.h"

#include <string>

namespace platform {

namespace {

bool EqualsIgnoringCase(std::string_view text, std::string_view word) {
    if (text.size() != word.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != word[i]) {
            return false;
        }
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

VariantConversionError::VariantConversionError(std::string_view from, std::string_view to)
    : std::runtime_error("Could not convert variant of type (" + std::string(from) +
                         ") into type (" + std::string(to) + ")") {}

bool VariantTextToBool(std::string_view text) {
    if (EqualsIgnoringCase(text, "true")) {
        return true;
    }
    if (EqualsIgnoringCase(text, "false")) {
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
