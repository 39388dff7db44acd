#include "platform/hivefile.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace platform::hivefile {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True for valid UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t extra = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= extra) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3F);
        }
        static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

bool HasControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

// A text that can stand between double quotes on one line.
bool IsLineText(std::string_view s) {
    return IsUtf8(s) && !HasControl(s);
}

std::string Quote(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

std::string JoinPath(const std::vector<std::string>& path) {
    std::string out;
    for (const auto& name : path) {
        if (!out.empty()) {
            out += '\\';
        }
        out += name;
    }
    return out;
}

// Appends "hex...:" data as regedit-style wrapped lines of at most about 80 columns.
void AppendHex(std::string& line, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    size_t column =
        line.size() - (line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1);
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        line += kDigits[b >> 4];
        line += kDigits[b & 15];
        column += 2;
        if (i + 1 < bytes.size()) {
            line += ',';
            ++column;
            if (column > 76) {
                line += "\\\n  ";
                column = 2;
            }
        }
    }
}

std::string FormatValue(const Value& v) {
    std::string line = v.name.empty() ? "@=" : Quote(v.name) + "=";
    switch (v.type) {
    case ValueType::Dword: {
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", static_cast<unsigned>(v.number));
        line += digits;
        break;
    }
    case ValueType::String:
        if (IsLineText(v.data)) {
            line += Quote(v.data);
        } else {
            line += "hex(1):";
            AppendHex(line, v.data);
        }
        break;
    case ValueType::ExpandString:
        line += "hex(2):";
        AppendHex(line, v.data);
        break;
    case ValueType::Binary:
        line += "hex:";
        AppendHex(line, v.data);
        break;
    }
    return line;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = Lower(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// Reads a quoted text at the start of s (which starts with '"'); consumes it from s.
bool ReadQuoted(std::string_view& s, std::string& out) {
    out.clear();
    size_t i = 1;
    while (i < s.size()) {
        char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
                return false;
            }
            c = s[i + 1];
            ++i;
        }
        out += c;
        ++i;
    }
    return false;
}

// Reads comma-separated two-digit hexadecimal bytes (possibly none).
bool ReadHexBytes(std::string_view s, std::string& out) {
    out.clear();
    s = TrimBlanks(s);
    if (s.empty()) {
        return true;
    }
    for (;;) {
        s = TrimBlanks(s);
        if (s.size() < 2) {
            return false;
        }
        const int hi = HexDigit(s[0]);
        const int lo = HexDigit(s[1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        s = TrimBlanks(s.substr(2));
        if (s.empty()) {
            return true;
        }
        if (s.front() != ',') {
            return false;
        }
        s.remove_prefix(1);
    }
}

Value ParseValueLine(std::string_view line, int lineNo) {
    Value v;
    std::string_view rest = line;
    if (rest.front() == '@') {
        rest.remove_prefix(1);
    } else if (!ReadQuoted(rest, v.name)) {
        throw ParseError(lineNo, "bad value name");
    }
    if (!IsValidValueName(v.name)) {
        throw ParseError(lineNo, "bad value name");
    }
    rest = TrimBlanks(rest);
    if (rest.empty() || rest.front() != '=') {
        throw ParseError(lineNo, "\"=\" expected after the value name");
    }
    rest = TrimBlanks(rest.substr(1));
    if (!rest.empty() && rest.front() == '"') {
        v.type = ValueType::String;
        if (!ReadQuoted(rest, v.data) || !TrimBlanks(rest).empty()) {
            throw ParseError(lineNo, "bad quoted text");
        }
        return v;
    }
    const auto colon = rest.find(':');
    if (colon == std::string_view::npos) {
        throw ParseError(lineNo, "unknown value data");
    }
    std::string kind(rest.substr(0, colon));
    std::transform(kind.begin(), kind.end(), kind.begin(), Lower);
    const std::string_view data = rest.substr(colon + 1);
    if (kind == "dword") {
        const std::string_view digits = TrimBlanks(data);
        if (digits.empty() || digits.size() > 8) {
            throw ParseError(lineNo, "bad dword");
        }
        std::uint32_t n = 0;
        for (char c : digits) {
            const int d = HexDigit(c);
            if (d < 0) {
                throw ParseError(lineNo, "bad dword");
            }
            n = n * 16 + static_cast<std::uint32_t>(d);
        }
        v.type = ValueType::Dword;
        v.number = n;
        return v;
    }
    if (kind == "hex") {
        v.type = ValueType::Binary;
    } else if (kind == "hex(1)") {
        v.type = ValueType::String;
    } else if (kind == "hex(2)") {
        v.type = ValueType::ExpandString;
    } else {
        throw ParseError(lineNo, "unknown value type \"" + kind + "\"");
    }
    if (!ReadHexBytes(data, v.data)) {
        throw ParseError(lineNo, "bad hexadecimal data");
    }
    return v;
}

} // namespace

ParseError::ParseError(int line, const std::string& message)
    : std::runtime_error("line " + std::to_string(line) + ": " + message), line_(line) {}

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool IsValidKeyName(std::string_view name) {
    return !name.empty() && name.find('\\') == std::string_view::npos && IsLineText(name);
}

bool IsValidValueName(std::string_view name) {
    return IsLineText(name);
}

bool SplitKeyPath(std::string_view path, std::vector<std::string>& names) {
    names.clear();
    while (!path.empty() && path.front() == '\\') {
        path.remove_prefix(1);
    }
    while (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
    }
    while (!path.empty()) {
        const auto slash = path.find('\\');
        const std::string_view name = path.substr(0, slash);
        if (!IsValidKeyName(name)) {
            return false;
        }
        if (names.size() == kMaxKeyDepth) {
            return false;
        }
        names.emplace_back(name);
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return true;
}

const Value* Key::FindValue(std::string_view valueName) const {
    for (const auto& v : values) {
        if (NamesEqual(v.name, valueName)) {
            return &v;
        }
    }
    return nullptr;
}

Value* Key::FindValue(std::string_view valueName) {
    return const_cast<Value*>(std::as_const(*this).FindValue(valueName));
}

const Key* Key::FindSubKey(std::string_view keyName) const {
    for (const auto& k : subKeys) {
        if (NamesEqual(k.name, keyName)) {
            return &k;
        }
    }
    return nullptr;
}

Key* Key::FindSubKey(std::string_view keyName) {
    return const_cast<Key*>(std::as_const(*this).FindSubKey(keyName));
}

void Key::SetValue(Value value) {
    if (Value* existing = FindValue(value.name)) {
        value.name = existing->name;
        *existing = std::move(value);
    } else {
        values.push_back(std::move(value));
    }
}

bool Key::RemoveValue(std::string_view valueName) {
    const auto it = std::find_if(values.begin(), values.end(),
                                 [&](const Value& v) { return NamesEqual(v.name, valueName); });
    if (it == values.end()) {
        return false;
    }
    values.erase(it);
    return true;
}

Key& Key::SubKey(std::string_view keyName) {
    if (Key* existing = FindSubKey(keyName)) {
        return *existing;
    }
    Key& added = subKeys.emplace_back();
    added.name = keyName;
    return added;
}

bool Key::RemoveSubKey(std::string_view keyName) {
    const auto it = std::find_if(subKeys.begin(), subKeys.end(),
                                 [&](const Key& k) { return NamesEqual(k.name, keyName); });
    if (it == subKeys.end()) {
        return false;
    }
    subKeys.erase(it);
    return true;
}

namespace {

// Takes one logical line off text: physical lines joined where one ends in "\", each
// without its line end and its outer blanks. lineNo counts the physical lines taken.
std::string TakeLogicalLine(std::string_view& text, int& lineNo) {
    std::string logical;
    for (;;) {
        const auto end = text.find('\n');
        std::string_view physical = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNo;
        if (!physical.empty() && physical.back() == '\r') {
            physical.remove_suffix(1);
        }
        physical = TrimBlanks(physical);
        // Only hexadecimal data ends in "\": a quoted text ends in its quote, a section
        // in "]". A comment never continues.
        const bool continues = !physical.empty() && physical.back() == '\\' &&
                               !(logical.empty() && physical.front() == ';');
        if (!continues) {
            logical += physical;
            return logical;
        }
        physical.remove_suffix(1);
        logical += physical;
        if (text.empty()) {
            return logical;
        }
    }
}

// A section line "[HIVE\A\B]" at lineNo.
Section ParseSectionLine(std::string_view line, int lineNo) {
    if (line.back() != ']') {
        throw ParseError(lineNo, "\"]\" expected at the end of the section line");
    }
    Section section;
    section.line = lineNo;
    const std::string_view inner = line.substr(1, line.size() - 2);
    const auto slash = inner.find('\\');
    const std::string_view hive = inner.substr(0, slash);
    const std::string_view below =
        slash == std::string_view::npos ? std::string_view() : inner.substr(slash + 1);
    if (!IsValidKeyName(hive) || inner.back() == '\\' ||
        (!below.empty() && below.front() == '\\') || !SplitKeyPath(below, section.path)) {
        throw ParseError(lineNo, "bad key path");
    }
    section.path.insert(section.path.begin(), std::string(hive));
    return section;
}

} // namespace

std::vector<Section> Parse(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::vector<Section> sections;
    bool headerSeen = false;
    int lineNo = 0;
    while (!text.empty()) {
        const int firstLine = lineNo + 1;
        const std::string logical = TakeLogicalLine(text, lineNo);
        const std::string_view line = logical;
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (!headerSeen) {
            if (line != kHeader) {
                throw ParseError(firstLine,
                                 "the header line \"" + std::string(kHeader) + "\" is missing");
            }
            headerSeen = true;
        } else if (line.front() == '[') {
            sections.push_back(ParseSectionLine(line, firstLine));
        } else if (line.front() == '"' || line.front() == '@') {
            if (sections.empty()) {
                throw ParseError(firstLine, "value before the first section");
            }
            sections.back().values.push_back(ParseValueLine(line, firstLine));
        } else {
            throw ParseError(firstLine, "unknown line");
        }
    }
    if (!headerSeen && !sections.empty()) {
        throw ParseError(1, "the header line is missing");
    }
    return sections;
}

std::string Format(const std::vector<Section>& sections) {
    std::string out(kHeader);
    out += "\n";
    for (const auto& section : sections) {
        out += "\n[" + JoinPath(section.path) + "]\n";
        for (const auto& v : section.values) {
            out += FormatValue(v);
            out += '\n';
        }
    }
    return out;
}

Key LoadHive(std::string_view text, std::string_view hiveName) {
    Key root;
    const bool blank = std::all_of(text.begin(), text.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n';
    });
    if (blank) {
        return root;
    }
    const std::vector<Section> sections = Parse(text);
    for (const auto& section : sections) {
        if (!NamesEqual(section.path.front(), hiveName)) {
            throw ParseError(section.line, "section [" + JoinPath(section.path) +
                                               "] lies outside " + std::string(hiveName));
        }
        Key* key = &root;
        for (size_t i = 1; i < section.path.size(); ++i) {
            key = &key->SubKey(section.path[i]);
        }
        for (const auto& v : section.values) {
            key->SetValue(v);
        }
    }
    return root;
}

void AppendSections(const Key& key, const std::vector<std::string>& prefix, bool includeEmpty,
                    std::vector<Section>& out) {
    if (includeEmpty || !key.values.empty()) {
        out.push_back(Section{prefix, key.values, 0});
    }
    for (const auto& sub : key.subKeys) {
        std::vector<std::string> path = prefix;
        path.push_back(sub.name);
        AppendSections(sub, path, true, out);
    }
}

std::string SaveHive(const Key& root, std::string_view hiveName) {
    std::vector<Section> sections;
    AppendSections(root, {std::string(hiveName)}, false, sections);
    return Format(sections);
}

} // namespace platform::hivefile
