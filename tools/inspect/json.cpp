#include "json.h"

#include <cstdio>

namespace inspect {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
size_t Utf8Length(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80           ? 1
                 : (b >> 5) == 0x6  ? 2
                 : (b >> 4) == 0xE  ? 3
                 : (b >> 3) == 0x1E ? 4
                                    : 0;
    if (len == 0 || i + len > s.size()) {
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) {
            return 0;
        }
    }
    return len;
}

} // namespace

std::string JsonQuote(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        char buf[8];
        switch (c) {
        case '"':
            out += "\\\"";
            ++i;
            continue;
        case '\\':
            out += "\\\\";
            ++i;
            continue;
        case '\n':
            out += "\\n";
            ++i;
            continue;
        case '\r':
            out += "\\r";
            ++i;
            continue;
        case '\t':
            out += "\\t";
            ++i;
            continue;
        default:
            break;
        }
        if (c < 0x20) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
            continue;
        }
        size_t len = Utf8Length(text, i);
        if (len == 0) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
            continue;
        }
        out.append(text.substr(i, len));
        i += len;
    }
    return out + "\"";
}

void JsonWriter::Indent() {
    out_ << '\n';
    for (size_t i = 0; i < levels_.size(); ++i) {
        out_ << "  ";
    }
}

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!levels_.empty()) {
        if (!levels_.back().empty) {
            out_ << ',';
        }
        levels_.back().empty = false;
        Indent();
    }
}

JsonWriter& JsonWriter::BeginObject() {
    BeforeValue();
    out_ << '{';
    levels_.push_back({true, true});
    return *this;
}

JsonWriter& JsonWriter::EndObject() {
    Close('}');
    return *this;
}

void JsonWriter::Close(char bracket) {
    bool empty = levels_.back().empty;
    levels_.pop_back();
    if (!empty) {
        Indent();
    }
    out_ << bracket;
}

JsonWriter& JsonWriter::BeginArray() {
    BeforeValue();
    out_ << '[';
    levels_.push_back({false, true});
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    Close(']');
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
    BeforeValue();
    out_ << JsonQuote(key) << ": ";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
    BeforeValue();
    out_ << JsonQuote(value);
    return *this;
}

JsonWriter& JsonWriter::Int(std::int64_t value) {
    BeforeValue();
    out_ << value;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    out_ << (value ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    out_ << "null";
    return *this;
}

void JsonWriter::Finish() {
    out_ << '\n';
}

} // namespace inspect
