#include "common/directories.h"
#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <optional>
#include <ostream>

namespace {

using platform::Access;
using platform::Hive;
using platform::RegistryKey;

constexpr const char* kShellFolders =
    "\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

class DirectoriesTest : public testing::Test {
protected:
    RegistryKey ShellFolders(const std::string& path = kShellFolders) {
        auto key = RegistryKey::Open(Hive::CurrentUser, path, Access::ReadWrite, true);
        if (!key) {
            throw std::runtime_error("cannot open the shell folders key");
        }
        return *key;
    }
    tolvar::test::TempHome home;
};

TEST_F(DirectoriesTest, FreshAccountGetsTheDataHomeFolderWithItsParents) {
    ASSERT_FALSE(platform::FolderExists(home.DataHome()));
    const std::string folder = GetAppDataDir();
    EXPECT_EQ(folder, home.DataHome() + "/Brimwald Tolvar");
    EXPECT_TRUE(platform::FolderExists(folder));
    EXPECT_EQ(GetCacheDir(), folder + "/Cache");
    EXPECT_TRUE(platform::FolderExists(folder + "/Cache"));
}

// Which shell-folder value makes the base; nullopt leaves the hive without the value.
struct ShellCase {
    const char* what;
    std::optional<std::string> appData;
    std::optional<std::string> localAppData;
    const char* expectedBase; // "@" for the Windows folder's Temp
};

void PrintTo(const ShellCase& c, std::ostream* out) {
    *out << c.what;
}

class ShellFolderTest : public DirectoriesTest, public testing::WithParamInterface<ShellCase> {};

TEST_P(ShellFolderTest, ChoosesTheBase) {
    const ShellCase& c = GetParam();
    const std::string root = home.Root();
    const RegistryKey key = ShellFolders();
    if (c.appData) {
        key.WriteString("AppData", c.appData->empty() ? "" : root + *c.appData);
    }
    if (c.localAppData) {
        key.WriteString("Local AppData", c.localAppData->empty() ? "" : root + *c.localAppData);
    }
    const std::string base = std::string(c.expectedBase) == "@"
                                 ? platform::WindowsFolder() + "/Temp"
                                 : root + c.expectedBase;
    EXPECT_EQ(GetAppDataDir(), base + "/Brimwald Tolvar");
    EXPECT_TRUE(platform::FolderExists(base + "/Brimwald Tolvar"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShellFolderTest,
    testing::Values(ShellCase{"local_wins", "/roaming", "/local", "/local"},
                    ShellCase{"empty_local_gives_appdata", "/roaming", "", "/roaming"},
                    ShellCase{"both_empty_gives_windows_temp", "", "", "@"},
                    ShellCase{"nested_missing_parents", "", "/a/b/c", "/a/b/c"},
                    ShellCase{"trailing_slash_dropped", "", "/local/", "/local"}),
    [](const testing::TestParamInfo<ShellCase>& param) { return std::string(param.param.what); });

TEST_F(DirectoriesTest, ValuesOfAnotherTypeCountAsMissing) {
    const RegistryKey key = ShellFolders();
    key.WriteInteger("AppData", 1);
    key.WriteBinary("Local AppData", {0x2f, 0x78});
    EXPECT_EQ(GetAppDataDir(), platform::WindowsFolder() + "/Temp/Brimwald Tolvar");
}

TEST_F(DirectoriesTest, ShellFolderNamesMatchInAnyLetterCase) {
    const RegistryKey key =
        ShellFolders("\\SOFTWARE\\microsoft\\WINDOWS\\currentversion\\EXPLORER\\shell folders");
    key.WriteString("local appdata", home.Root() + "/lower");
    EXPECT_EQ(GetAppDataDir(), home.Root() + "/lower/Brimwald Tolvar");
}

TEST_F(DirectoriesTest, AFolderThatCannotBeMadeStillGivesItsPath) {
    tolvar::test::WriteFile(home.Root() + "/file", "in the way");
    ShellFolders().WriteString("Local AppData", home.Root() + "/file");
    EXPECT_EQ(GetAppDataDir(), home.Root() + "/file/Brimwald Tolvar");
    EXPECT_EQ(GetCacheDir(), home.Root() + "/file/Brimwald Tolvar/Cache");
}

TEST(Directories, Names) {
    EXPECT_EQ(GetControlFileKey(), "#brimwald:///feeds/content.php");
    EXPECT_EQ(GetSubscriptionFileName(), "subscriptions.dir");
}

TEST(Directories, MakeGuidStringGivesNewRegistryFormGuids) {
    const std::string a = MakeGuidString();
    const std::string b = MakeGuidString();
    EXPECT_NE(a, b);
    for (const std::string& g : {a, b}) {
        ASSERT_EQ(g.size(), 38u);
        EXPECT_EQ(g[0], '{');
        EXPECT_EQ(g[37], '}');
        EXPECT_EQ(g[15], '4');
        EXPECT_EQ(g.find_first_not_of("{}-0123456789ABCDEF"), std::string::npos) << g;
    }
}

} // namespace
