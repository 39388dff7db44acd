#include "platform/version.h"
#include "support/elffile.h"
#include "support/temphome.h"

#include <algorithm>
#include <cctype>
#include <gtest/gtest.h>
#include <ostream>

namespace {

using tolvar::test::ElfNote;
using tolvar::test::ElfShape;
using tolvar::test::MakeElfFile;
using tolvar::test::TempFolder;

struct VersionCase {
    const char* what;
    std::vector<ElfNote> notes;
    ElfShape shape;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> expected;
};

void PrintTo(const VersionCase& c, std::ostream* out) {
    *out << c.what;
}

class ReadFileVersionTest : public testing::TestWithParam<VersionCase> {};

TEST_P(ReadFileVersionTest, FindsTheNote) {
    const VersionCase& c = GetParam();
    TempFolder dir;
    const std::string path = dir.Path() + "/program";
    tolvar::test::WriteFile(path, MakeElfFile(c.notes, c.shape));
    const auto version = platform::ReadFileVersion(path);
    ASSERT_EQ(version.has_value(), c.expected.has_value());
    if (version) {
        EXPECT_EQ(version->mostSignificant, c.expected->first);
        EXPECT_EQ(version->leastSignificant, c.expected->second);
    }
}

const ElfNote kVersion{"Tolvar", 1, {0x00010002, 0x012C0004}};
const ElfNote kBuildId{"GNU", 3, {0xdeadbeef, 0x01020304, 0x05060708}};

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadFileVersionTest,
    testing::Values(
        VersionCase{"64-bit", {kVersion}, {}, std::pair{0x00010002u, 0x012C0004u}},
        VersionCase{"32-bit", {kVersion}, {false, false}, std::pair{0x00010002u, 0x012C0004u}},
        VersionCase{"big-endian", {kVersion}, {true, true}, std::pair{0x00010002u, 0x012C0004u}},
        VersionCase{
            "after other notes", {kBuildId, kVersion}, {}, std::pair{0x00010002u, 0x012C0004u}},
        VersionCase{"no notes", {}, {}, std::nullopt},
        VersionCase{"only other notes", {kBuildId}, {}, std::nullopt},
        VersionCase{"other owner", {{"Tolva", 1, {1, 2}}}, {}, std::nullopt},
        VersionCase{"other type", {{"Tolvar", 2, {1, 2}}}, {}, std::nullopt},
        VersionCase{"short description", {{"Tolvar", 1, {1}}}, {}, std::nullopt}),
    [](const testing::TestParamInfo<VersionCase>& param) {
        std::string name;
        for (char c : std::string(param.param.what)) {
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST(ReadFileVersion, FilesWithoutAVersion) {
    TempFolder dir;
    const std::string elf = MakeElfFile({kVersion});
    const std::pair<const char*, std::string> files[] = {
        {"empty", ""},
        {"text", "#!/bin/sh\necho hello\n"},
        {"elf magic only", "\x7f"
                           "ELF"},
        {"truncated header", elf.substr(0, 40)},
        {"truncated before the section table", elf.substr(0, elf.size() - 64)},
    };
    for (const auto& [what, bytes] : files) {
        const std::string path = dir.Path() + "/" + what;
        tolvar::test::WriteFile(path, bytes);
        EXPECT_FALSE(platform::ReadFileVersion(path).has_value()) << what;
    }
    EXPECT_FALSE(platform::ReadFileVersion(dir.Path() + "/missing").has_value());
    EXPECT_FALSE(platform::ReadFileVersion(dir.Path()).has_value()) << "a folder";
    EXPECT_FALSE(platform::ReadFileVersion("").has_value());
}

TEST(ReadFileVersion, NoteSizesBeyondTheSectionAreRejected) {
    TempFolder dir;
    std::string elf = MakeElfFile({kVersion});
    // Description size of the first note (at 64 + 4) made huge.
    elf[68] = '\xff';
    elf[69] = '\xff';
    elf[70] = '\xff';
    elf[71] = '\x7f';
    const std::string path = dir.Path() + "/program";
    tolvar::test::WriteFile(path, elf);
    EXPECT_FALSE(platform::ReadFileVersion(path).has_value());
}

std::string VersionText(const platform::FileVersion& v) {
    return std::to_string(v.mostSignificant >> 16) + "." +
           std::to_string(v.mostSignificant & 0xFFFF) + "." +
           std::to_string(v.leastSignificant >> 16) + "." +
           std::to_string(v.leastSignificant & 0xFFFF);
}

TEST(ReadFileVersion, EveryExecutableOfTheBuildCarriesTheProjectVersion) {
    std::string project = TOLVAR_VERSION_TEXT;
    while (std::count(project.begin(), project.end(), '.') < 3) {
        project += ".0";
    }
    EXPECT_EQ(VersionText(platform::EmbeddedVersion()), project);
    for (const char* program : {"/proc/self/exe", TOLVAR_INSPECT_PATH}) {
        const auto version = platform::ReadFileVersion(program);
        ASSERT_TRUE(version.has_value()) << program;
        EXPECT_EQ(VersionText(*version), project) << program;
    }
}

} // namespace
