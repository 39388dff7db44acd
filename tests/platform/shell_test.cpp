#include "platform/fileio.h"
#include "platform/shell.h"
#include "support/temphome.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tolvar::test::ReadFileOrEmpty;
using tolvar::test::TempFolder;
using tolvar::test::WaitUntil;
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

// ---- opening links and files ----

TEST(ShellOpen, OnlyWebLinksAndExistingPlainFilesAreOpened) {
    TempFolder folder;
    const std::string page = folder.Path() + "/manual.htm";
    WriteFile(page, "<html></html>");
    const std::string program = folder.Path() + "/run.sh";
    WriteFile(program, "#!/bin/sh\n");
    ::chmod(program.c_str(), 0755);
    const std::string entry = folder.Path() + "/evil.DESKTOP";
    WriteFile(entry, "[Desktop Entry]\n");
    struct Case {
        std::string target;
        std::optional<std::string> argument;
    };
    const Case cases[] = {
        {"http://example.org/a?b=c", "http://example.org/a?b=c"},
        {"HTTPS://example.org/", "HTTPS://example.org/"},
        {"http://", std::nullopt},
        {"http:///etc/passwd", std::nullopt},
        {"http://example.org/a b", std::nullopt},
        // Blanks around a link, as feeds write them, are no part of it.
        {"\n    http://example.org/padded \t\r\n", "http://example.org/padded"},
        {" \t", std::nullopt},
        {" http://example.org/a b ", std::nullopt},
        {"http://example.org/\x01", std::nullopt},
        {"file:///etc/passwd", std::nullopt},
        {"javascript:alert(1)", std::nullopt},
        {"mailto:someone@example.org", std::nullopt},
        {"-h", std::nullopt},
        {"", std::nullopt},
        {page, page},
        {folder.Path() + "/./manual.htm", page},
        {"\r\n" + page + "  ", page},
        {folder.Path() + "/missing.htm", std::nullopt},
        {folder.Path(), std::nullopt}, // a folder
        {program, std::nullopt},       // a program would run
        {entry, std::nullopt},         // a desktop entry would run one
    };
    for (const Case& c : cases) {
        EXPECT_EQ(platform::ShellOpenArgument(c.target), c.argument) << c.target;
    }
}

// A stand-in opener first in PATH records its arguments, so the real desktop is never
// asked.
class FakeOpener {
public:
    explicit FakeOpener(const std::string& script) {
        WriteFile(bin_.Path() + "/xdg-open", script);
        ::chmod((bin_.Path() + "/xdg-open").c_str(), 0755);
        const char* old = std::getenv("PATH");
        oldPath_ = old != nullptr ? old : "";
        ::setenv("PATH", (bin_.Path() + ":" + oldPath_).c_str(), 1);
    }
    ~FakeOpener() { ::setenv("PATH", oldPath_.c_str(), 1); }
    std::string Folder() const { return bin_.Path(); }

private:
    TempFolder bin_;
    std::string oldPath_;
};

TEST(ShellOpen, RunsTheOpenerWithOneArgumentAndNoShell) {
    TempFolder out;
    const std::string record = out.Path() + "/args";
    FakeOpener opener("#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > '" + record +
                      "'\n");
    // Shell syntax in a link stays one plain argument.
    const std::string link = "http://example.org/x?a=1&b=$(touch%20" + out.Path() + "/pwned);";
    EXPECT_EQ(platform::ShellOpen(link), platform::ShellOpenResult::Opened);
    EXPECT_EQ(ReadFileOrEmpty(record), "[" + link + "]");
    EXPECT_FALSE(platform::FileExists(out.Path() + "/pwned"));

    // A padded link reaches the opener without its blanks.
    EXPECT_EQ(platform::ShellOpen("\n      http://example.org/feed-item?id=7\r\n    "),
              platform::ShellOpenResult::Opened);
    EXPECT_EQ(ReadFileOrEmpty(record), "[http://example.org/feed-item?id=7]");

    ::unlink(record.c_str());
    EXPECT_EQ(platform::ShellOpen("ftp://example.org/"), platform::ShellOpenResult::Refused);
    EXPECT_FALSE(platform::FileExists(record)) << "a refused target starts nothing";
}

TEST(ShellOpen, OpenerThatStaysIsNotWaitedForBeyondTheBound) {
    TempFolder out;
    const std::string pidFile = out.Path() + "/pid";
    // An opener that stays (as one that runs the browser in the foreground does).
    FakeOpener opener("#!/bin/sh\necho $$ > '" + pidFile + "'\nexec sleep 60 > /dev/null 2>&1\n");
    EXPECT_EQ(platform::ShellOpen("http://example.org/", std::chrono::milliseconds(200)),
              platform::ShellOpenResult::Running);
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileOrEmpty(pidFile).empty(); }));
    const pid_t pid = static_cast<pid_t>(std::stol(ReadFileOrEmpty(pidFile)));
    EXPECT_EQ(::kill(pid, SIGKILL), 0) << "still running, not killed by the bound";
}

TEST(ShellOpen, FailingOrMissingOpenerIsReported) {
    {
        FakeOpener opener("#!/bin/sh\nexit 4\n");
        EXPECT_EQ(platform::ShellOpen("http://example.org/"), platform::ShellOpenResult::Failed);
    }
    TempFolder empty;
    const char* old = std::getenv("PATH");
    const std::string oldPath = old != nullptr ? old : "";
    ::setenv("PATH", empty.Path().c_str(), 1);
    const auto result = platform::ShellOpen("http://example.org/");
    ::setenv("PATH", oldPath.c_str(), 1);
    EXPECT_EQ(result, platform::ShellOpenResult::NotStarted);
}

} // namespace
