#include "platform/fileio.h"
#include "support/temphome.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using platform::FileLock;
using tolvar::test::TempFolder;

TEST(AtomicWriteFile, ReplacesContent) {
    TempFolder dir;
    const std::string path = dir.Path() + "/index";
    platform::AtomicWriteFile(path, "old");
    platform::AtomicWriteFile(path, "new content");
    EXPECT_EQ(platform::ReadFile(path).value(), "new content");
}

TEST(AtomicWriteFile, FailedWriteKeepsTheOldFileAndNoTemporary) {
    TempFolder dir;
    const std::string path = dir.Path() + "/index";
    platform::AtomicWriteFile(path, "old");
    // A full disk, as root can meet it too: a file-size limit in a child process.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        try {
            platform::AtomicWriteFile(path, std::string(4096, 'x'));
        } catch (const platform::FileError& e) {
            ::_exit(e.Code() == EFBIG ? 0 : 2);
        }
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(platform::ReadFile(path).value(), "old");
    DIR* d = ::opendir(dir.Path().c_str());
    int files = 0;
    while (dirent* e = ::readdir(d)) {
        files += e->d_name[0] != '.';
    }
    ::closedir(d);
    EXPECT_EQ(files, 1);
}

TEST(RemoveStaleTemporaries, RemovesOnlyTheTemporariesOfThatFile) {
    TempFolder dir;
    const std::string path = dir.Path() + "/cache.dir";
    for (const char* name : {"cache.dir", "cache.dir.tmp0123abcd", "cache.dir.tmp",
                             "cache.dir.lock", "other.tmp0123abcd", "cache.dirx.tmp1"}) {
        tolvar::test::WriteFile(dir.Path() + "/" + name, "x");
    }
    platform::RemoveStaleTemporaries(path);
    for (const auto& [name, kept] :
         std::initializer_list<std::pair<const char*, bool>>{{"cache.dir", true},
                                                             {"cache.dir.tmp0123abcd", false},
                                                             {"cache.dir.tmp", false},
                                                             {"cache.dir.lock", true},
                                                             {"other.tmp0123abcd", true},
                                                             {"cache.dirx.tmp1", true}}) {
        EXPECT_EQ(platform::FileExists(dir.Path() + "/" + name), kept) << name;
    }
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

// The one read loop of the whole-file readers: to the end across many reads, appended,
// and never more than one byte past the bound, so a caller sees that a file is too long
// without reading all of it.
TEST(ReadToEnd, ReadsToTheEndOrOneBytePastTheBound) {
    TempFolder dir;
    const std::string path = dir.Path() + "/big";
    std::string bytes(200000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>('a' + i % 26);
    }
    platform::AtomicWriteFile(path, bytes);
    struct Case {
        std::size_t maxBytes;
        std::size_t read;
    };
    const Case cases[] = {
        {static_cast<std::size_t>(-1), 200000},
        {200000, 200000},
        {199999, 200000},
        {65536, 65537},
        {10, 11},
        {0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxBytes);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string content = "kept:";
        EXPECT_EQ(platform::ReadToEnd(fd, content, c.maxBytes), 0);
        ::close(fd);
        EXPECT_EQ(content, "kept:" + bytes.substr(0, c.read));
    }
    std::string content;
    EXPECT_EQ(platform::ReadToEnd(-1, content), EBADF);
    EXPECT_TRUE(content.empty());
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

TEST(FileLock, ProbeNeverMakesAClaimFail) {
    // A probe that took the lock for a moment refused claims made in that moment.
    TempFolder dir;
    const std::string path = dir.Path() + "/lock";
    { auto create = FileLock::Acquire(path, FileLock::Mode::Exclusive); }
    std::atomic<bool> done{false};
    std::atomic<long> probes{0};
    std::thread prober([&] {
        while (!done.load()) {
            FileLock::IsHeld(path);
            ++probes;
        }
    });
    // Each claim comes once the prober has run again, so claims and probes overlap.
    int refused = 0;
    for (int i = 0; i < 2000; ++i) {
        const long seen = probes.load();
        tolvar::test::WaitUntil([&] { return probes.load() > seen; });
        auto lock = FileLock::TryAcquire(path, FileLock::Mode::Exclusive);
        refused += !lock.has_value();
    }
    done = true;
    prober.join();
    EXPECT_EQ(refused, 0);
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

namespace {

int FilesIn(const std::string& folder) {
    DIR* d = ::opendir(folder.c_str());
    int files = 0;
    while (dirent* e = ::readdir(d)) {
        files += e->d_name[0] != '.';
    }
    ::closedir(d);
    return files;
}

TEST(AtomicFileWriter, PiecesAppearUnderTheTargetOnlyOnCommit) {
    TempFolder dir;
    const std::string path = dir.Path() + "/download";
    platform::AtomicFileWriter writer(path);
    writer.Write("first ");
    writer.Write("second");
    EXPECT_FALSE(platform::FileExists(path));
    writer.Commit();
    EXPECT_EQ(platform::ReadFile(path).value(), "first second");
    EXPECT_EQ(FilesIn(dir.Path()), 1);
}

TEST(AtomicFileWriter, DroppedWriterLeavesTheOldFileAndNoTemporary) {
    TempFolder dir;
    const std::string path = dir.Path() + "/download";
    platform::AtomicWriteFile(path, "old");
    {
        platform::AtomicFileWriter writer(path);
        writer.Write("half of the new");
    }
    EXPECT_EQ(platform::ReadFile(path).value(), "old");
    EXPECT_EQ(FilesIn(dir.Path()), 1);
    platform::AtomicFileWriter moved = platform::AtomicFileWriter(dir.Path() + "/other");
    moved.Discard();
    EXPECT_EQ(FilesIn(dir.Path()), 1);
}

TEST(AtomicFileWriter, MissingFolderIsAFileError) {
    TempFolder dir;
    try {
        platform::AtomicFileWriter writer(dir.Path() + "/none/download");
        FAIL() << "no error";
    } catch (const platform::FileError& e) {
        EXPECT_EQ(e.Code(), ENOENT);
    }
}

TEST(SplitLines, EveryLineEndAndALastLineWithoutOne) {
    const struct {
        const char* text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb\nc", {"a", "b", "c"}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\n\r", {"a", ""}},   // LF then a lone CR: two ends
        {"\r\n\r\n", {"", ""}}, // CR LF is one end
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::SplitLines(c.text), c.lines) << c.text;
    }
}

} // namespace
