#include "platform/fileio.h"

#include <csignal>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temphome.h"

namespace {

using platform::FileLock;
using tolvar::test::TempFolder;

TEST(AtomicWriteFile, ReplacesContentAndLeavesNoTemporaryFile) {
    TempFolder dir;
    const std::string path = dir.Path() + "/index";
    platform::AtomicWriteFile(path, "old");
    platform::AtomicWriteFile(path, "new content");
    EXPECT_EQ(platform::ReadFile(path).value(), "new content");
    EXPECT_EQ(tolvar::test::ReadFileOrEmpty(path), "new content");
    // Only the target remains in the folder.
    int entries = 0;
    for (auto name : {"index"}) {
        entries += platform::FileExists(dir.Path() + "/" + name);
    }
    EXPECT_EQ(entries, 1);
}

TEST(AtomicWriteFile, FailureKeepsTheOldFile) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only folders";
    }
    TempFolder dir;
    const std::string path = dir.Path() + "/index";
    platform::AtomicWriteFile(path, "old");
    ::chmod(dir.Path().c_str(), 0500);
    EXPECT_THROW(platform::AtomicWriteFile(path, "new"), platform::FileError);
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(platform::ReadFile(path).value(), "old");
}

TEST(AtomicWriteFile, MissingFolderIsAFileError) {
    TempFolder dir;
    try {
        platform::AtomicWriteFile(dir.Path() + "/no/such/file", "x");
        FAIL() << "no error";
    } catch (const platform::FileError& e) {
        EXPECT_EQ(e.Code(), ENOENT);
        EXPECT_NE(std::string(e.what()).find("no/such/file"), std::string::npos);
    }
}

TEST(AtomicWriteFile, KeepsThePermissionsOfAnExistingFile) {
    TempFolder dir;
    const std::string path = dir.Path() + "/f";
    platform::AtomicWriteFile(path, "a", 0600);
    ::chmod(path.c_str(), 0640);
    platform::AtomicWriteFile(path, "b");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(ReadFile, MissingIsNulloptAndAFolderIsAnError) {
    TempFolder dir;
    EXPECT_FALSE(platform::ReadFile(dir.Path() + "/missing").has_value());
    EXPECT_THROW(platform::ReadFile(dir.Path()), platform::FileError);
}

TEST(MakeFolders, CreatesParents) {
    TempFolder dir;
    const std::string deep = dir.Path() + "/a/b/c";
    EXPECT_TRUE(platform::MakeFolders(deep));
    EXPECT_TRUE(platform::FolderExists(deep));
    EXPECT_TRUE(platform::MakeFolders(deep)); // existing is fine
    tolvar::test::WriteFile(dir.Path() + "/file", "x");
    EXPECT_FALSE(platform::MakeFolders(dir.Path() + "/file/sub"));
}

TEST(ParentFolder, Table) {
    const std::pair<const char*, const char*> cases[] = {
        {"a/b/c", "a/b"}, {"c", "."}, {"/c", "/"}, {"/a//b", "/a"}, {"a/b/", "a"}, {"/", "/"},
    };
    for (const auto& [path, parent] : cases) {
        EXPECT_EQ(platform::ParentFolder(path), parent) << path;
    }
}

TEST(FileLock, ExclusiveExcludesOthersUntilReleased) {
    TempFolder dir;
    const std::string path = dir.Path() + "/lock";
    EXPECT_FALSE(FileLock::IsHeld(path));
    {
        auto held = FileLock::Acquire(path, FileLock::Mode::Exclusive);
        EXPECT_TRUE(FileLock::IsHeld(path));
        EXPECT_FALSE(FileLock::TryAcquire(path, FileLock::Mode::Exclusive).has_value());
        EXPECT_FALSE(FileLock::TryAcquire(path, FileLock::Mode::Shared).has_value());
        try {
            FileLock::Acquire(path, FileLock::Mode::Exclusive, std::chrono::milliseconds(30));
            FAIL() << "lock taken twice";
        } catch (const platform::FileError& e) {
            EXPECT_EQ(e.Code(), ETIMEDOUT);
        }
    }
    EXPECT_FALSE(FileLock::IsHeld(path));
    EXPECT_TRUE(FileLock::TryAcquire(path, FileLock::Mode::Exclusive).has_value());
}

TEST(FileLock, SharedLocksCoexist) {
    TempFolder dir;
    const std::string path = dir.Path() + "/lock";
    auto a = FileLock::Acquire(path, FileLock::Mode::Shared);
    auto b = FileLock::TryAcquire(path, FileLock::Mode::Shared);
    EXPECT_TRUE(b.has_value());
    EXPECT_FALSE(FileLock::TryAcquire(path, FileLock::Mode::Exclusive).has_value());
}

TEST(FileLock, WaiterGetsTheLockWhenTheHolderReleases) {
    TempFolder dir;
    const std::string path = dir.Path() + "/lock";
    auto held = FileLock::Acquire(path, FileLock::Mode::Exclusive);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        held.Release();
    });
    auto mine = FileLock::Acquire(path, FileLock::Mode::Exclusive, std::chrono::seconds(10));
    releaser.join();
    EXPECT_TRUE(FileLock::IsHeld(path));
}

} // namespace
