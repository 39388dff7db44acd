#include "common/cache.h"
#include "common/directories.h"
#include "common/tolvarsettings.h"
#include "control/cachemgr.h"
#include "platform/fileio.h"
#include "platform/registry.h"
#include "support/temphome.h"

#include <algorithm>
#include <dirent.h>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using platform::Hive;
using platform::RegistryKey;
using tolvar::test::ReadFileOrEmpty;
using tolvar::test::TempHome;
using tolvar::test::WriteFile;

// The extension after a leading GUID text in braces (upper-case digits), or nullopt when
// the name does not begin with one.
std::optional<std::string> ExtensionAfterGuid(const std::string& name) {
    const std::string shape = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (name.size() < shape.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = name[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
        if (shape[i] == 'X' ? !hex : c != shape[i]) {
            return std::nullopt;
        }
    }
    return name.substr(shape.size());
}

// Names the cases of a table after their name field.
template <typename Case> std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// One index entry as the tests compare it: the extension of its file instead of the name.
struct Entry {
    std::string extension;
    std::string serial;
    std::string uri;
    bool operator==(const Entry&) const = default;
};

void PrintTo(const Entry& e, std::ostream* os) {
    *os << '"' << e.extension << '|' << e.serial << '|' << e.uri << '"';
}

using Providers = std::vector<std::pair<std::string, std::string>>;

// A control program's folder with one provider folder "vorlk/Prov" holding a few files,
// a file beside the provider folders and one beside the program's folder (both outside
// what a batch file may reach), in a temporary home.
class Seeding : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform::MakeFolders(provider + "/sub"));
        ASSERT_TRUE(platform::MakeFolders(provider + "/dir.v2"));
        WriteFile(provider + "/logo.jpg", "JPEG bytes");
        WriteFile(provider + "/layout.xml", "<layout/>");
        WriteFile(provider + "/noext", "no extension");
        WriteFile(provider + "/dir.v2/noext", "in a dotted folder");
        WriteFile(provider + "/sub/pic.gif", "GIF89a");
        WriteFile(provider + "/a.x|y", "bar in the extension");
        WriteFile(app + "/vorlk/outside.txt", "beside the provider folders");
        WriteFile(home.Root() + "/secret.txt", "outside the program");
        SetSeedingErrorReporter({});
    }
    void TearDown() override { SetSeedingErrorReporter({}); }

    // Writes the batch file into the provider folder and runs it quietly.
    bool Run(const std::string& batch) {
        WriteFile(provider + "/copylcache.bat", batch);
        return RunCopyCacheBatch(provider + "/copylcache.bat", true);
    }

    static std::vector<Entry> Entries() {
        CC cache(GetCacheDir());
        cache.Load();
        std::vector<Entry> result;
        for (const auto& e : cache.entries.Lock()) {
            const auto extension = ExtensionAfterGuid(e->file);
            result.push_back(
                {extension ? *extension : "not a GUID name: " + e->file, e->serial, e->uri});
        }
        return result;
    }

    // The cached objects: every file of the cache folder except the index and its lock.
    static std::vector<std::string> CachedFiles() {
        std::vector<std::string> names;
        const std::string folder = GetCacheDir();
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (const dirent* d = ::readdir(dir)) {
                const std::string name = d->d_name;
                // The index with its lock files.
                if (name != "." && name != ".." && !name.starts_with("cache.dir")) {
                    names.push_back(name);
                }
            }
            ::closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static Providers MachineProviders() {
        Providers result;
        auto key = RegistryKey::Open(Hive::LocalMachine, "\\Software\\Brimwald\\Tolvar\\Providers",
                                     platform::Access::Read);
        if (key) {
            for (const auto& name : key->ValueNames()) {
                result.emplace_back(name, key->ReadString(name));
            }
        }
        return result;
    }

    static std::optional<std::string> UserCurrentProvider() {
        auto key = RegistryKey::Open(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar",
                                     platform::Access::Read);
        if (!key || !key->ValueExists("CurrentProvider")) {
            return std::nullopt;
        }
        return key->ReadString("CurrentProvider");
    }

    TempHome home;
    const std::string app = home.Root() + "/app";
    const std::string provider = app + "/vorlk/Prov";
};

// ---- the variables and the line grammar, seen through what "-register" writes ----

struct GrammarCase {
    const char* name;
    std::string batch;
    Providers providers;
};

void PrintTo(const GrammarCase& c, std::ostream* os) {
    *os << c.name;
}

class SeedingGrammar : public Seeding, public ::testing::WithParamInterface<GrammarCase> {};

TEST_P(SeedingGrammar, RegistersWhatTheLinesSay) {
    ASSERT_TRUE(Run(GetParam().batch));
    EXPECT_EQ(MachineProviders(), GetParam().providers);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SeedingGrammar,
    ::testing::Values(
        GrammarCase{"assignment",
                    "set PROVIDERKEY=abc\r\n%QRX% -register %PROVIDERKEY% v\r\n",
                    {{"abc", "v"}}},
        GrammarCase{"at_blank_at_before_assignment",
                    "@ @set PROVIDERKEY=abc\n%QRX% -register %PROVIDERKEY% v\n",
                    {{"abc", "v"}}},
        GrammarCase{
            "leading_at_and_blanks_before_command", " @@  %QRX% -register p v", {{"p", "v"}}},
        GrammarCase{"empty_assignment",
                    "set PROVIDERKEY=x\nset PROVIDERKEY=\n%QRX% -register p [%PROVIDERKEY%]",
                    {{"p", "[]"}}},
        GrammarCase{"value_keeps_blanks",
                    "set PROVIDERKEY= a  b \n%QRX% -register p [%PROVIDERKEY%]",
                    {{"p", "[ a  b ]"}}},
        GrammarCase{"capital_set_changes_nothing",
                    "Set PROVIDERKEY=abc\n%QRX% -register p [%PROVIDERKEY%]",
                    {{"p", "[]"}}},
        GrammarCase{"rem_changes_nothing",
                    "rem set PROVIDERKEY=abc\nrem %QRX% -register q v\n"
                    "%QRX% -register p [%PROVIDERKEY%]",
                    {{"p", "[]"}}},
        GrammarCase{"lower_case_name_changes_nothing",
                    "set providerkey=abc\n%QRX% -register p [%PROVIDERKEY%]",
                    {{"p", "[]"}}},
        GrammarCase{"unknown_variable_stays_as_written",
                    "set OTHER=abc\n%QRX% -register p [%OTHER%]",
                    {{"p", "[%OTHER%]"}}},
        GrammarCase{"three_variables_cr_lines",
                    "set PROVIDERKEY=k\rset PROVIDERNUM=7\rset SCRPREFIX=s\r"
                    "%QRX% -register %SCRPREFIX%%PROVIDERKEY% %PROVIDERNUM%",
                    {{"sk", "7"}}},
        GrammarCase{"variables_start_empty_each_run",
                    "%QRX% -register p [%PROVIDERKEY%%PROVIDERNUM%%SCRPREFIX%]",
                    {{"p", "[]"}}},
        GrammarCase{"substitution_before_set_and_marker",
                    "set SCRPREFIX=\n%SCRPREFIX%set PROVIDERKEY=k\n"
                    "%SCRPREFIX%%QRX% -register p %PROVIDERKEY%",
                    {{"p", "k"}}},
        // The value "%" puts the token together from inserted text, which is not searched
        // again: the variable holds its own token literally.
        GrammarCase{"own_token_substituted_once_per_occurrence",
                    "set PROVIDERKEY=%\n"
                    "set SCRPREFIX=%PROVIDERKEY%PROVIDERKEY%PROVIDERKEY%\n"
                    "set PROVIDERKEY=a%SCRPREFIX%b\n"
                    "%QRX% -register p %PROVIDERKEY%,%PROVIDERKEY%",
                    {{"p", "a%PROVIDERKEY%b,a%PROVIDERKEY%b"}}},
        GrammarCase{"inserted_text_not_searched_for_a_later_token",
                    "set PROVIDERKEY=%\nset SCRPREFIX=x\n"
                    "%QRX% -register p %PROVIDERKEY%SCRPREFIX%PROVIDERKEY%",
                    {{"p", "%SCRPREFIX%"}}},
        GrammarCase{"register_value_is_the_rest", "%QRX% -register p a  b c ", {{"p", "a  b c "}}},
        GrammarCase{"register_without_value_is_refused_empty_name", "%QRX% -register p", {}},
        GrammarCase{"command_word_without_blank_matches_nothing", "%QRX% -register", {}},
        GrammarCase{"other_words_do_nothing",
                    "%QRX% -flush\n%QRX% -Register p v\n%QRX% -registerx p v\n%QRX% p v",
                    {}},
        GrammarCase{"marker_exact",
                    "%qrx% -register p v\n%QRX%-register p v\n"
                    " QRX% -register p v\ncall %QRX% -register p v",
                    {}},
        GrammarCase{
            "other_batch_lines_ignored", "@echo off\nREM comment\n:label\nif exist x goto y\n", {}},
        GrammarCase{"windows_line_ends_kept_out_of_values",
                    "set PROVIDERNUM=3\r\n%QRX% -register p %PROVIDERNUM%\r\n",
                    {{"p", "3"}}},
        GrammarCase{"several_providers_in_order",
                    "%QRX% -register B b\n%QRX% -register A a\n%QRX% -register B b2",
                    {{"B", "b2"}, {"A", "a"}}},
        // A provider name is the folder the next runs read a batch file from.
        GrammarCase{"provider_name_not_a_plain_folder_refused",
                    "%QRX% -register .. v\n%QRX% -register . v\n%QRX% -register a/b v\n"
                    "%QRX% -register a\\b v\n%QRX% -register ok v",
                    {{"ok", "v"}}}),
    CaseName<GrammarCase>);

TEST_F(Seeding, RegisterWritesMachineProviderAndUserCurrentProvider) {
    ASSERT_TRUE(Run("%QRX% -register First f\r\n%QRX% -register Second s\r\n"));
    EXPECT_EQ(MachineProviders(), (Providers{{"First", "f"}, {"Second", "s"}}));
    // The provider registered last becomes the current one, in the user's hive.
    EXPECT_EQ(UserCurrentProvider(), "Second");
    EXPECT_EQ(TolvarSettings("Brimwald", "Tolvar").GetCurrentProvider(), "Second");
    EXPECT_FALSE(RegistryKey::Open(Hive::CurrentUser, "\\Software\\Brimwald\\Tolvar\\Providers",
                                   platform::Access::Read));
}

TEST_F(Seeding, RefusedRegistrationWritesNothing) {
    ASSERT_TRUE(Run("%QRX% -register .. v"));
    EXPECT_EQ(MachineProviders(), Providers{});
    EXPECT_EQ(UserCurrentProvider(), std::nullopt);
    EXPECT_FALSE(RegisterProvider("", "v"));
    EXPECT_TRUE(RegisterProvider("P", ""));
    EXPECT_EQ(MachineProviders(), (Providers{{"P", ""}}));
}

// ---- "-add" ----

struct AddCase {
    const char* name;
    std::string batch;
    std::vector<Entry> entries;
    // The source files whose bytes the cached files hold, in the order of the entries.
    std::vector<std::string> sources;
};

void PrintTo(const AddCase& c, std::ostream* os) {
    *os << c.name;
}

class SeedingAdd : public Seeding, public ::testing::WithParamInterface<AddCase> {};

TEST_P(SeedingAdd, CopiesAndRecords) {
    const AddCase& c = GetParam();
    ASSERT_TRUE(Run(c.batch));
    ASSERT_EQ(Entries(), c.entries);
    ASSERT_EQ(CachedFiles().size(), c.sources.size());
    CC cache(GetCacheDir());
    cache.Load();
    std::size_t i = 0;
    for (const auto& e : cache.entries.Lock()) {
        EXPECT_EQ(ReadFileOrEmpty(GetCacheDir() + "/" + e->file),
                  ReadFileOrEmpty(provider + "/" + c.sources[i]))
            << e->file;
        ++i;
    }
}

std::string LongUri() {
    return "#brimwald:///" + std::string(3000, 'u');
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SeedingAdd,
    ::testing::Values(
        AddCase{"add",
                "%QRX% -add logo.jpg 5 #brimwald:///images/p/logo.jpg\r\n",
                {{".jpg", "5", "#brimwald:///images/p/logo.jpg"}},
                {"logo.jpg"}},
        AddCase{"uri_with_blanks",
                "%QRX% -add logo.jpg 5 #brimwald:///a b  c",
                {{".jpg", "5", "#brimwald:///a b  c"}},
                {"logo.jpg"}},
        AddCase{"variables_in_arguments",
                "set PROVIDERKEY=p\nset PROVIDERNUM=7\n"
                "%QRX% -add layout.xml %PROVIDERNUM% #brimwald:///images/%PROVIDERKEY%/base/"
                "layout.xml",
                {{".xml", "7", "#brimwald:///images/p/base/layout.xml"}},
                {"layout.xml"}},
        AddCase{"backslash_path_in_subfolder",
                "%QRX% -add sub\\pic.gif 1 u\r\n",
                {{".gif", "1", "u"}},
                {"sub/pic.gif"}},
        AddCase{"slash_path_in_subfolder",
                "%QRX% -add ./sub/pic.gif 1 u",
                {{".gif", "1", "u"}},
                {"sub/pic.gif"}},
        AddCase{"no_extension", "%QRX% -add noext 1 u", {{"", "1", "u"}}, {"noext"}},
        AddCase{"extension_from_the_name_not_the_folder",
                "%QRX% -add dir.v2\\noext 1 u",
                {{"", "1", "u"}},
                {"dir.v2/noext"}},
        AddCase{"two_adds_in_order",
                "%QRX% -add logo.jpg 1 a\n%QRX% -add layout.xml 2 b\n",
                {{".jpg", "1", "a"}, {".xml", "2", "b"}},
                {"logo.jpg", "layout.xml"}},
        AddCase{"too_few_blanks_empty_serial",
                "%QRX% -add logo.jpg 5",
                {{".jpg", "", "5"}},
                {"logo.jpg"}},
        AddCase{"command_text_cut_at_2048",
                "%QRX% -add logo.jpg 1 " + LongUri(),
                {{".jpg", "1", LongUri().substr(0, 2048 - 16)}},
                {"logo.jpg"}},
        AddCase{"no_file_name", "%QRX% -add logo.jpg", {}, {}},
        AddCase{"missing_file", "%QRX% -add nothere.jpg 1 u", {}, {}},
        AddCase{"folder_is_no_file", "%QRX% -add sub 1 u", {}, {}},
        AddCase{"command_word_alone", "%QRX% -add", {}, {}},
        AddCase{"other_spellings",
                "%QRX% -ADD logo.jpg 1 u\n%QRX% -addx logo.jpg 1 u\n"
                "%QRX% add logo.jpg 1 u\nrem %QRX% -add logo.jpg 1 u\n",
                {},
                {}},
        // cache.dir splits at "|": such an entry would read back as another one.
        AddCase{"bar_in_serial_refused", "%QRX% -add logo.jpg 1|2 u", {}, {}},
        AddCase{"bar_in_extension_refused", "%QRX% -add a.x|y 1 u", {}, {}}),
    CaseName<AddCase>);

// Files outside the provider's folder are never read, however the batch file names them.
class SeedingEscape : public Seeding, public ::testing::WithParamInterface<std::string> {};

TEST_P(SeedingEscape, RefusesFilesOutsideTheProviderFolder) {
    std::string file = GetParam();
    const std::string prefix = "HOME";
    if (file.starts_with(prefix)) {
        file = home.Root() + file.substr(prefix.size());
    }
    ASSERT_TRUE(Run("%QRX% -add " + file + " 1 u\r\n"));
    EXPECT_EQ(Entries(), std::vector<Entry>{});
    EXPECT_EQ(CachedFiles(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Paths, SeedingEscape,
                         ::testing::Values("..\\outside.txt", "../outside.txt",
                                           "sub\\..\\..\\outside.txt", "sub/../logo.jpg", "..",
                                           "HOME/secret.txt", "HOME\\secret.txt",
                                           "\\\\server\\share\\x", "C:\\secret.txt",
                                           "c:secret.txt"));

TEST_F(Seeding, LinksMayNotLeadOutOfTheProviderFolder) {
    ASSERT_EQ(::symlink("..", (provider + "/up").c_str()), 0);
    ASSERT_EQ(::symlink("../outside.txt", (provider + "/out.txt").c_str()), 0);
    ASSERT_EQ(::symlink((home.Root() + "/secret.txt").c_str(), (provider + "/abs.txt").c_str()), 0);
    ASSERT_EQ(::symlink("logo.jpg", (provider + "/inner.png").c_str()), 0);
    ASSERT_TRUE(Run("%QRX% -add up/outside.txt 1 a\r\n%QRX% -add up\\Prov\\logo.jpg 1 b\r\n"
                    "%QRX% -add out.txt 1 c\r\n%QRX% -add abs.txt 1 d\r\n"
                    "%QRX% -add inner.png 1 e\r\n"));
    // Links whose target stays inside are followed; the name as written gives the
    // extension.
    EXPECT_EQ(Entries(), (std::vector<Entry>{{".jpg", "1", "b"}, {".png", "1", "e"}}));
    const auto files = CachedFiles();
    ASSERT_EQ(files.size(), 2u);
    for (const auto& f : files) {
        EXPECT_EQ(ReadFileOrEmpty(GetCacheDir() + "/" + f), "JPEG bytes");
    }
}

TEST_F(Seeding, SeedingAgainLeavesOneEntryAndOneCopy) {
    const std::string line = "%QRX% -add logo.jpg 5 #brimwald:///images/p/logo.jpg\r\n";
    // The same line twice in one run, then the whole run again.
    ASSERT_TRUE(Run(line + line));
    ASSERT_TRUE(Run(line + line));
    EXPECT_EQ(Entries(), (std::vector<Entry>{{".jpg", "5", "#brimwald:///images/p/logo.jpg"}}));
    const auto files = CachedFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFileOrEmpty(GetCacheDir() + "/" + files[0]), "JPEG bytes");
}

TEST_F(Seeding, SeedingFirstRemovesWhatNoEntryNames) {
    ASSERT_TRUE(Run("%QRX% -add logo.jpg 5 #brimwald:///images/p/logo.jpg\r\n"));
    const auto seeded = CachedFiles();
    ASSERT_EQ(seeded.size(), 1u);
    // What killed writers leave: a copy never recorded, a download temporary, a
    // temporary of an index save.
    for (const char* stray :
         {"{0F0F0F0F-0000-0000-0000-000000000000}.jpg",
          "{0F0F0F0F-0000-0000-0000-000000000001}.tmp.tmp1234abcd", "cache.dir.tmp89abcdef"}) {
        WriteFile(GetCacheDir() + "/" + stray, "left");
    }
    ASSERT_TRUE(Run("%QRX% -add layout.xml 2 #brimwald:///images/p/base/layout.xml\r\n"));
    const auto files = CachedFiles();
    EXPECT_EQ(files.size(), 2u);
    for (const auto& f : files) {
        EXPECT_EQ(f.find("0F0F0F0F"), std::string::npos) << f;
    }
    EXPECT_FALSE(platform::FileExists(GetCacheDir() + "/cache.dir.tmp89abcdef"));
    EXPECT_EQ(Entries().size(), 2u);
}

TEST_F(Seeding, AddKeepsTheIndexEntriesThatStand) {
    WriteFile(GetCacheDir() + "/cache.dir", "old.xml|1|#brimwald:///feeds/content.php\r\n");
    ASSERT_TRUE(Run("%QRX% -add layout.xml 2 #brimwald:///images/p/base/layout.xml"));
    CC cache(GetCacheDir());
    cache.Load();
    ASSERT_EQ(cache.entries.Count(), 2u);
    const CCObject* old = cache.Find("#brimwald:///feeds/content.php", "1");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->file, "old.xml");
    const std::string text = ReadFileOrEmpty(cache.IndexPath());
    EXPECT_TRUE(text.starts_with("old.xml|1|#brimwald:///feeds/content.php\r\n{")) << text;
    EXPECT_TRUE(text.ends_with(".xml|2|#brimwald:///images/p/base/layout.xml\r\n")) << text;
    // A key held with another serial is a new version, not a duplicate.
    ASSERT_TRUE(Run("%QRX% -add layout.xml 3 #brimwald:///images/p/base/layout.xml"));
    EXPECT_EQ(Entries().size(), 3u);
}

TEST_F(Seeding, UnreadableIndexIsNotOverwrittenAndTheCopyIsRemoved) {
    // A folder in the place of "cache.dir" cannot be read: saving a fresh index over it
    // would lose every entry it held.
    ASSERT_TRUE(platform::MakeFolders(GetCacheDir() + "/cache.dir"));
    ASSERT_TRUE(Run("%QRX% -add logo.jpg 1 u"));
    EXPECT_EQ(CachedFiles(), std::vector<std::string>{});
    EXPECT_TRUE(platform::FolderExists(GetCacheDir() + "/cache.dir"));
    EXPECT_FALSE(AddCacheFile(provider + "/logo.jpg", "1", "u"));
}

TEST_F(Seeding, AddCacheFileResult) {
    EXPECT_TRUE(AddCacheFile(provider + "/logo.jpg", "1", "u"));
    EXPECT_TRUE(AddCacheFile(provider + "/logo.jpg", "1", "u")); // held already
    EXPECT_FALSE(AddCacheFile(provider + "/nothere.jpg", "1", "v"));
    EXPECT_FALSE(AddCacheFile("", "1", "v"));
    EXPECT_EQ(Entries(), (std::vector<Entry>{{".jpg", "1", "u"}}));
    EXPECT_EQ(CachedFiles().size(), 1u) << "a version held already is not copied again";
}

// ---- the batch file itself ----

TEST_F(Seeding, MissingBatchFileGivesFalseAndTheErrorReport) {
    std::vector<SeedingErrorReport> reports;
    SetSeedingErrorReporter([&](const SeedingErrorReport& r) { reports.push_back(r); });
    const std::string path = "vorlk\\Nobody\\copylcache.bat";

    EXPECT_FALSE(RunCopyCacheBatch(path, true));
    EXPECT_TRUE(reports.empty());

    EXPECT_FALSE(RunCopyCacheBatch(path, false));
    ASSERT_EQ(reports.size(), 1u);
    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    char cwd[4096] = {};
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(reports[0].caption, "TolvarCtrl");
    EXPECT_EQ(reports[0].beepHz, 200u);
    EXPECT_EQ(reports[0].beepMs, 40u);
    EXPECT_EQ(reports[0].text, "Fehler beim Aufruf:\nDer angebene Providerkey ist ungültig.\n\n"
                               "Executable: [" +
                                   std::string(exe) + "]\nArbeitsverzeichnis: [" + cwd +
                                   "]\nBatchfile: [" + path + "]\n");
}

TEST_F(Seeding, BatchFileThatCannotBeReadCountsAsMissing) {
    std::vector<SeedingErrorReport> reports;
    SetSeedingErrorReporter([&](const SeedingErrorReport& r) { reports.push_back(r); });
    ASSERT_TRUE(platform::MakeFolders(app + "/vorlk/Dir/copylcache.bat"));
    EXPECT_FALSE(RunCopyCacheBatch(app + "/vorlk/Dir/copylcache.bat", false));
    ASSERT_EQ(::mkfifo((app + "/vorlk/Fifo.bat").c_str(), 0600), 0);
    EXPECT_FALSE(RunCopyCacheBatch(app + "/vorlk/Fifo.bat", false));
    EXPECT_EQ(reports.size(), 2u);
}

TEST_F(Seeding, EmptyBatchFileIsFound) {
    EXPECT_TRUE(Run(""));
    EXPECT_EQ(Entries(), std::vector<Entry>{});
    EXPECT_EQ(MachineProviders(), Providers{});
}

// Restores the working folder at the end of a test.
class WorkingFolder {
public:
    explicit WorkingFolder(const std::string& folder) {
        char buf[4096];
        old_ = ::getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(::chdir(folder.c_str()), 0);
    }
    ~WorkingFolder() { (void)::chdir(old_.c_str()); }
    static std::string Now() {
        char buf[4096];
        return ::getcwd(buf, sizeof buf) ? buf : "";
    }

private:
    std::string old_;
};

TEST_F(Seeding, RelativeBatchPathStartsAtTheWorkingFolder) {
    WriteFile(provider + "/copylcache.bat",
              "%QRX% -add logo.jpg 1 a\r\n%QRX% -register Prov p\r\n");
    // The program's folder: file names are taken from the batch file's folder.
    {
        WorkingFolder wf(app);
        EXPECT_TRUE(RunCopyCacheBatch("vorlk\\Prov\\copylcache.bat", true));
        EXPECT_EQ(WorkingFolder::Now(), app);
    }
    // A bare name: the batch file and its files are read from the working folder, which
    // stays as it was.
    {
        WorkingFolder wf(provider);
        WriteFile(provider + "/copylcache.bat", "%QRX% -add layout.xml 2 b\r\n");
        EXPECT_TRUE(RunCopyCacheBatch("copylcache.bat", true));
        EXPECT_EQ(WorkingFolder::Now(), provider);
    }
    EXPECT_EQ(Entries(), (std::vector<Entry>{{".jpg", "1", "a"}, {".xml", "2", "b"}}));
    EXPECT_EQ(MachineProviders(), (Providers{{"Prov", "p"}}));
}

TEST_F(Seeding, TypicalSeedFile) {
    ASSERT_TRUE(Run("@echo off\r\n"
                    "rem seed of the provider's first objects\r\n"
                    "set PROVIDERKEY=Prov\r\n"
                    "set PROVIDERNUM=20261210\r\n"
                    "set SCRPREFIX=#brimwald:///images/%PROVIDERKEY%\r\n"
                    "%QRX% -add layout.xml %PROVIDERNUM% %SCRPREFIX%/base/layout.xml\r\n"
                    "%QRX% -add sub\\pic.gif %PROVIDERNUM% %SCRPREFIX%/base/pic.gif\r\n"
                    "%QRX% -flush\r\n"
                    "%QRX% -register %PROVIDERKEY% %PROVIDERKEY%\r\n"));
    EXPECT_EQ(Entries(),
              (std::vector<Entry>{{".xml", "20261210", "#brimwald:///images/Prov/base/layout.xml"},
                                  {".gif", "20261210", "#brimwald:///images/Prov/base/pic.gif"}}));
    EXPECT_EQ(CachedFiles().size(), 2u);
    EXPECT_EQ(MachineProviders(), (Providers{{"Prov", "Prov"}}));
    EXPECT_EQ(UserCurrentProvider(), "Prov");
}

} // namespace
