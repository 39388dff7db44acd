#pragma once

// Letter case the way the programs compare names, switches, schemes and header fields:
// only the ASCII letters fold, every other byte (UTF-8 sequences included) stays as it
// is, whatever locale the process runs in.
//
// No state; safe from any thread.

#include <algorithm>
#include <string>
#include <string_view>

namespace platform {

constexpr char AsciiLower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char AsciiUpper(char c) noexcept {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string AsciiLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return AsciiLower(c); });
    return text;
}

inline std::string AsciiUpper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return AsciiUpper(c); });
    return text;
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool EndsWithNoCase(std::string_view text, std::string_view suffix) noexcept {
    return text.size() >= suffix.size() &&
           EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

} // namespace platform
