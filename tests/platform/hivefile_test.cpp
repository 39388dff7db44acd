#include "platform/hivefile.h"

#include <gtest/gtest.h>

namespace {

namespace hivefile = platform::hivefile;
using platform::ValueType;

const std::string kHead = std::string(hivefile::kHeader) + "\n";

TEST(HiveFile, ReadsEveryLineForm) {
    const std::string text = "\xEF\xBB\xBF" + kHead +
                             "; a comment \\\n"
                             "\r\n"
                             "[HKEY_CURRENT_USER\\Software\\Brimwald\\Tolvar]\r\n"
                             "\"Text\"=\"a \\\"b\\\" \\\\c\"\n"
                             "  \"Number\" = dword:F\n"
                             "\"Blob\"=hex:00,01,\\\n"
                             "  ff\n"
                             "\"Expand\"=hex(2):25,54,25\n"
                             "\"Plain\"=hex(1):61,0a,62\n"
                             "\"None\"=hex:\n"
                             "@=\"default\"\n"
                             "\"text\"=\"again\"\n"
                             "[HKEY_CURRENT_USER\\Software\\Other]\n";
    const auto root = hivefile::LoadHive(text, "HKEY_CURRENT_USER");
    const auto* software = root.FindSubKey("SOFTWARE");
    ASSERT_NE(software, nullptr);
    ASSERT_EQ(software->subKeys.size(), 2u);
    const auto& key = *software->FindSubKey("brimwald")->FindSubKey("tolvar");
    const std::vector<hivefile::Value> expected = {
        {"Text", ValueType::String, 0, "again"}, // a later line replaces, keeping the place
        {"Number", ValueType::Dword, 15, ""},
        {"Blob", ValueType::Binary, 0, std::string("\x00\x01\xff", 3)},
        {"Expand", ValueType::ExpandString, 0, "%T%"},
        {"Plain", ValueType::String, 0, "a\nb"},
        {"None", ValueType::Binary, 0, ""},
        {"", ValueType::String, 0, "default"},
    };
    EXPECT_EQ(key.values, expected);
}

TEST(HiveFile, RejectsWhatItCannotRead) {
    struct Case {
        const char* what;
        std::string text;
        int line;
    };
    const std::string s = "[HKEY_CURRENT_USER\\A]\n";
    const Case cases[] = {
        {"no header", "[HKEY_CURRENT_USER\\A]\n", 1},
        {"another header", "REGISTRY 2\n" + s, 1},
        {"value before section", kHead + "\"a\"=\"b\"\n", 2},
        {"unclosed section", kHead + "[HKEY_CURRENT_USER\\A\n", 2},
        {"empty key name", kHead + "[HKEY_CURRENT_USER\\\\A]\n", 2},
        {"other hive", kHead + "[HKEY_LOCAL_MACHINE\\A]\n", 2},
        {"unquoted text", kHead + s + "\"a\"=b\n", 3},
        {"unclosed text", kHead + s + "\"a\"=\"b\n", 3},
        {"text after quote", kHead + s + "\"a\"=\"b\" c\n", 3},
        {"bad escape", kHead + s + "\"a\"=\"\\n\"\n", 3},
        {"long dword", kHead + s + "\"a\"=dword:123456789\n", 3},
        {"bad dword", kHead + s + "\"a\"=dword:12g\n", 3},
        {"empty dword", kHead + s + "\"a\"=dword:\n", 3},
        {"bad hex", kHead + s + "\"a\"=hex:0,1\n", 3},
        {"hex trailing comma", kHead + s + "\"a\"=hex:01,\n", 3},
        {"unknown type", kHead + s + "\"a\"=hex(7):00\n", 3},
        {"deletion", kHead + s + "\"a\"=-\n", 3},
        {"no equals", kHead + s + "\"a\"\n", 3},
        {"stray line", kHead + s + "junk\n", 3},
        {"too deep",
         kHead + "[HKEY_CURRENT_USER" +
             [] {
                 std::string path;
                 for (size_t i = 0; i <= hivefile::kMaxKeyDepth; ++i) {
                     path += "\\k";
                 }
                 return path;
             }() +
             "]\n",
         2},
        {"continued hex", kHead + s + "\"a\"=hex:01,\\\n  zz\n", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            hivefile::LoadHive(c.text, "HKEY_CURRENT_USER");
            ADD_FAILURE() << "parsed";
        } catch (const hivefile::ParseError& e) {
            EXPECT_EQ(e.Line(), c.line);
        }
    }
    EXPECT_TRUE(hivefile::LoadHive(" \r\n\n", "HKEY_CURRENT_USER").subKeys.empty());
    // The deepest key the registry allows still reads.
    std::string deepest;
    for (size_t i = 0; i < hivefile::kMaxKeyDepth; ++i) {
        deepest += "\\k";
    }
    EXPECT_NO_THROW(
        hivefile::LoadHive(kHead + "[HKEY_CURRENT_USER" + deepest + "]\n", "HKEY_CURRENT_USER"));
}

TEST(HiveFile, WritesWhatItReads) {
    hivefile::Key root;
    auto& key = root.SubKey("Software").SubKey("Key ] with [ brackets");
    key.SetValue({"Name \"q\" \\b", ValueType::String, 0, "v \"q\" \\b"});
    key.SetValue({"Bin", ValueType::Binary, 0, std::string(300, '\x7f')});
    key.SetValue({"Dw", ValueType::Dword, 0xDEADBEEF, ""});
    key.SetValue({"Ctl", ValueType::String, 0, std::string("\x01\x7f\xC3\x28", 4)});
    root.SubKey("Empty");
    const std::string text = hivefile::SaveHive(root, "HKEY_LOCAL_MACHINE");
    EXPECT_NE(text.find("\"Dw\"=dword:deadbeef\n"), std::string::npos);
    EXPECT_NE(text.find("\"Ctl\"=hex(1):01,7f,c3,28\n"), std::string::npos);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        EXPECT_LE(end - start, 80u) << "long line";
    }
    EXPECT_EQ(hivefile::LoadHive(text, "HKEY_LOCAL_MACHINE"), root);
}

} // namespace
