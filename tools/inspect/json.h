#pragma once

// A small streaming JSON writer for the inspection tool's output. Strings are taken as
// UTF-8; bytes that are not valid UTF-8 are written as \u00XX of their byte value so
// the output stays valid JSON whatever a document held.

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace inspect {

class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}

    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view key);
    JsonWriter& String(std::string_view value);
    JsonWriter& Int(std::int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // Key and value in one call.
    template <typename T> JsonWriter& Field(std::string_view key, const T& value) {
        Key(key);
        return Value(value);
    }
    JsonWriter& Value(std::string_view v) { return String(v); }
    JsonWriter& Value(const std::string& v) { return String(v); }
    JsonWriter& Value(const char* v) { return String(v); }
    JsonWriter& Value(bool v) { return Bool(v); }
    JsonWriter& Value(int v) { return Int(v); }
    JsonWriter& Value(unsigned v) { return Int(v); }
    JsonWriter& Value(long v) { return Int(v); }
    JsonWriter& Value(long long v) { return Int(v); }
    JsonWriter& Value(const std::vector<std::string>& v) {
        BeginArray();
        for (const auto& s : v) {
            String(s);
        }
        return EndArray();
    }

    // Ends the document with a newline.
    void Finish();

private:
    void BeforeValue();
    void Indent();
    void Close(char bracket);

    std::ostream& out_;
    struct Level {
        bool isObject;
        bool empty;
    };
    std::vector<Level> levels_;
    bool afterKey_ = false;
};

// Escapes text as a JSON string literal (with quotes).
std::string JsonQuote(std::string_view text);

} // namespace inspect
