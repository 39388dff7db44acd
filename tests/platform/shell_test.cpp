#include "platform/fileio.h"
#include "platform/shell.h"
#include "support/temphome.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tolvar::test::ReadFileOrEmpty;
using tolvar::test::TempFolder;
using tolvar::test::WriteFile;

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// The number of entries in a folder (a temporary file left behind counts).
int CountEntries(const std::string& folder) {
    int n = 0;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") {
                ++n;
            }
        }
        ::closedir(dir);
    }
    return n;
}

TEST(SilentCopy, ReplacesTheTargetAndTakesTheSourcesPermissions) {
    TempFolder tmp;
    const std::string source = tmp.Path() + "/Tolvar.scr";
    struct Case {
        const char* name;
        bool targetExists;
        mode_t targetMode;
        mode_t sourceMode;
    };
    const Case cases[] = {
        {"new target, executable source", false, 0, 0755},
        {"old plain target, executable source", true, 0644, 0755},
        {"old executable target, plain source", true, 0755, 0640},
        {"set-id bits are not copied", false, 0, 04755},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string target = tmp.Path() + "/win/Tolvar.scr";
        platform::RemoveFile(target);
        if (c.targetExists) {
            platform::MakeFolders(tmp.Path() + "/win");
            WriteFile(target, "old content");
            ::chmod(target.c_str(), c.targetMode);
        }
        WriteFile(source, std::string(200000, 'x') + c.name); // more than one read
        ::chmod(source.c_str(), c.sourceMode);
        ASSERT_TRUE(platform::SilentCopyFile(source, target));
        EXPECT_EQ(ReadFileOrEmpty(target), ReadFileOrEmpty(source));
        EXPECT_EQ(ModeOf(target), c.sourceMode & 0777);
        EXPECT_EQ(CountEntries(tmp.Path() + "/win"), 1); // no temporary file left
    }
}

TEST(SilentCopy, MakesTheTargetFolder) {
    TempFolder tmp;
    WriteFile(tmp.Path() + "/s", "abc");
    ASSERT_TRUE(platform::SilentCopyFile(tmp.Path() + "/s", tmp.Path() + "/x/y/z/t"));
    EXPECT_EQ(ReadFileOrEmpty(tmp.Path() + "/x/y/z/t"), "abc");
}

TEST(SilentCopy, OntoItselfKeepsTheFile) {
    TempFolder tmp;
    const std::string file = tmp.Path() + "/same";
    WriteFile(file, "content stays");
    EXPECT_TRUE(platform::SilentCopyFile(file, file));
    EXPECT_EQ(ReadFileOrEmpty(file), "content stays");
    EXPECT_TRUE(platform::SilentCopyFile(file, tmp.Path() + "/./same"));
    EXPECT_EQ(ReadFileOrEmpty(file), "content stays");
}

TEST(SilentCopy, BadSourcesLeaveTheTargetAlone) {
    TempFolder tmp;
    const std::string target = tmp.Path() + "/target";
    const std::string fifo = tmp.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    platform::MakeFolders(tmp.Path() + "/folder");
    const std::string sources[] = {tmp.Path() + "/missing", fifo, tmp.Path() + "/folder",
                                   "/dev/zero"};
    for (const std::string& source : sources) {
        SCOPED_TRACE(source);
        WriteFile(target, "old");
        EXPECT_FALSE(platform::SilentCopyFile(source, target));
        EXPECT_EQ(ReadFileOrEmpty(target), "old");
    }
}

TEST(SilentCopy, UnwritableTargetFolderFailsWithoutTrace) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind root";
    }
    TempFolder tmp;
    WriteFile(tmp.Path() + "/s", "new");
    platform::MakeFolders(tmp.Path() + "/ro");
    WriteFile(tmp.Path() + "/ro/t", "old");
    ::chmod((tmp.Path() + "/ro").c_str(), 0555);
    EXPECT_FALSE(platform::SilentCopyFile(tmp.Path() + "/s", tmp.Path() + "/ro/t"));
    EXPECT_EQ(ReadFileOrEmpty(tmp.Path() + "/ro/t"), "old");
    ::chmod((tmp.Path() + "/ro").c_str(), 0755);
}

TEST(SilentDelete, DeletesFilesAndLinksButNeverFolders) {
    TempFolder tmp;
    const std::string file = tmp.Path() + "/f";
    const std::string linkTarget = tmp.Path() + "/kept";
    const std::string link = tmp.Path() + "/link";
    const std::string folder = tmp.Path() + "/folder";
    WriteFile(file, "x");
    WriteFile(linkTarget, "kept");
    ASSERT_EQ(::symlink(linkTarget.c_str(), link.c_str()), 0);
    platform::MakeFolders(folder);

    EXPECT_TRUE(platform::SilentDeleteFile(file));
    EXPECT_FALSE(platform::FileExists(file));
    EXPECT_FALSE(platform::SilentDeleteFile(file)); // already gone

    EXPECT_TRUE(platform::SilentDeleteFile(link));
    EXPECT_EQ(ReadFileOrEmpty(linkTarget), "kept"); // the link went, not what it names

    EXPECT_FALSE(platform::SilentDeleteFile(folder));
    EXPECT_TRUE(platform::FolderExists(folder));
}

} // namespace
