#include "platform/fileio.h"
#include "platform/folders.h"
#include "platform/registry.h"
#include "support/temphome.h"

#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <unistd.h>

namespace {

using tolvar::test::TempHome;

// The variables each case sets; nullopt leaves the variable unset.
struct Env {
    std::optional<std::string> home, config, data, runtime, system;
};

// What the folder functions answer; "~" stands for the password database's home folder.
struct Expected {
    std::string config, data, runtime, system;
};

struct LocationCase {
    const char* what;
    Env env;
    Expected expected;
};

void Set(const char* name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

std::string PasswdHome() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/tmp";
}

TEST(Folders, LocationsFollowTheEnvironment) {
    const LocationCase cases[] = {
        {"all set", {"/h", "/c", "/d", "/r", "/s"}, {"/c", "/d", "/r", "/s"}},
        {"only HOME",
         {"/h", {}, {}, {}, {}},
         {"/h/.config", "/h/.local/share", "", "/h/.local/share/tolvar-system"}},
        {"relative paths are ignored",
         {"/h", "c", "d", "r", "s"},
         {"/h/.config", "/h/.local/share", "", "/h/.local/share/tolvar-system"}},
        {"empty values are ignored",
         {"/h", "", "", "", ""},
         {"/h/.config", "/h/.local/share", "", "/h/.local/share/tolvar-system"}},
        {"trailing slashes dropped",
         {"/h/", "/c//", "/d/", "/r/", "/s/"},
         {"/c", "/d", "/r", "/s"}},
        {"the system folder follows the data home",
         {"/h", {}, "/d", {}, {}},
         {"/h/.config", "/d", "", "/d/tolvar-system"}},
        {"no HOME: the password database's home",
         {{}, {}, {}, {}, {}},
         {"~/.config", "~/.local/share", "", "~/.local/share/tolvar-system"}},
        {"relative HOME: the password database's home",
         {"h", {}, {}, {}, {}},
         {"~/.config", "~/.local/share", "", "~/.local/share/tolvar-system"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome restore; // puts every variable back afterwards
        Set("HOME", c.env.home);
        Set("XDG_CONFIG_HOME", c.env.config);
        Set("XDG_DATA_HOME", c.env.data);
        Set("XDG_RUNTIME_DIR", c.env.runtime);
        Set("TOLVAR_SYSTEM_DIR", c.env.system);
        const std::string home = PasswdHome();
        auto expand = [&](std::string s) {
            if (!s.empty() && s[0] == '~') {
                s.replace(0, 1, home);
            }
            return s;
        };
        const std::string config = expand(c.expected.config);
        const std::string data = expand(c.expected.data);
        const std::string system = expand(c.expected.system);
        EXPECT_EQ(platform::ConfigHome(), config);
        EXPECT_EQ(platform::DataHome(), data);
        EXPECT_EQ(platform::RuntimeHome(), c.expected.runtime);
        EXPECT_EQ(platform::SystemFolder(), system);
        EXPECT_EQ(platform::WindowsFolder(), system + "/Windows");
        EXPECT_EQ(platform::UserHivePath(), config + "/tolvar/user.reg");
        EXPECT_EQ(platform::MachineHivePath(), system + "/machine.reg");
    }
}

TEST(Folders, TheMachineMovesWithOneVariable) {
    TempHome home;
    const std::string moved = home.Root() + "/machine";
    ::setenv("TOLVAR_SYSTEM_DIR", moved.c_str(), 1);
    auto key =
        platform::RegistryKey::Open(platform::Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar",
                                    platform::Access::ReadWrite, true);
    ASSERT_TRUE(key.has_value());
    key->WriteString("SysHostID", "x");
    EXPECT_TRUE(platform::FileExists(moved + "/machine.reg"));
    EXPECT_FALSE(platform::FolderExists(home.DataHome() + "/tolvar-system"));
    // The user's hive stays where it was.
    EXPECT_EQ(platform::UserHivePath(), home.ConfigHome() + "/tolvar/user.reg");
}

TEST(Folders, ToFileSystemPath) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"a\\b\\c", "a/b/c"},
        {"\\Temp", "/Temp"},
        {"/already/fine", "/already/fine"},
        {"mixed\\and/both\\", "mixed/and/both/"},
        {"\xc3\xa4\\\xc3\xb6", "\xc3\xa4/\xc3\xb6"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(platform::ToFileSystemPath(in), out) << in;
    }
}

} // namespace
