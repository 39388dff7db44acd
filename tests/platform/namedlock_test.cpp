#include "platform/namedlock.h"
#include "support/process.h"
#include "support/temphome.h"

#include <csignal>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>

namespace {

using platform::NamedLock;
using tolvar::test::Child;
using tolvar::test::HelperPath;
using tolvar::test::TempHome;

// A helper process that holds the named lock until it is killed.
struct Holder {
    explicit Holder(const std::string& name)
        : child(HelperPath("namedlock_helper"), {name}, true), answer(child.ReadLine()) {}
    Child child;
    std::optional<std::string> answer;
};

TEST(NamedLock, OneHolderAtATimeWithinAProcess) {
    TempHome home;
    auto first = NamedLock::TryAcquire("guard");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Name(), "guard");
    EXPECT_FALSE(NamedLock::TryAcquire("guard"));
    EXPECT_TRUE(NamedLock::TryAcquire("other guard"));
    first->Release();
    EXPECT_TRUE(NamedLock::TryAcquire("guard"));
}

TEST(NamedLock, MovedLockStaysHeldUntilItsLastOwnerGoes) {
    TempHome home;
    std::optional<NamedLock> kept;
    {
        auto lock = NamedLock::TryAcquire("guard");
        ASSERT_TRUE(lock);
        kept.emplace(std::move(*lock));
    }
    EXPECT_FALSE(NamedLock::TryAcquire("guard"));
    kept.reset();
    EXPECT_TRUE(NamedLock::TryAcquire("guard"));
}

TEST(NamedLock, HeldByAnotherProcessIsSeenWithoutTakingIt) {
    TempHome home;
    EXPECT_FALSE(NamedLock::IsHeldByAnotherProcess("saver"));
    Holder holder("saver");
    ASSERT_EQ(holder.answer, "held");
    EXPECT_TRUE(NamedLock::IsHeldByAnotherProcess("saver"));
    EXPECT_TRUE(NamedLock::IsHeldByAnotherProcess("saver")); // asking took nothing
    EXPECT_FALSE(NamedLock::TryAcquire("saver"));
    EXPECT_FALSE(NamedLock::IsHeldByAnotherProcess("Saver")); // letter case counts
}

TEST(NamedLock, OwnLockIsNotHeldByAnotherProcess) {
    TempHome home;
    auto lock = NamedLock::TryAcquire("saver");
    ASSERT_TRUE(lock);
    EXPECT_FALSE(NamedLock::IsHeldByAnotherProcess("saver"));
    Holder holder("saver");
    EXPECT_EQ(holder.answer, "busy");
    EXPECT_EQ(holder.child.ExitCode(), 3);
}

TEST(NamedLock, LockOfAKilledHolderIsFreeAtOnce) {
    TempHome home;
    Holder holder("guard");
    ASSERT_EQ(holder.answer, "held");
    holder.child.Kill(SIGKILL);
    ASSERT_EQ(holder.child.ExitCode(), -SIGKILL);
    // No waiting: the kernel dropped the lock with the process.
    EXPECT_FALSE(NamedLock::IsHeldByAnotherProcess("guard"));
    EXPECT_TRUE(NamedLock::TryAcquire("guard"));
}

TEST(NamedLock, AnyNameGivesItsOwnFileInsideTheLockFolder) {
    TempHome home;
    const std::string names[] = {"{A47C2E19-6B3D-4E8F-9C05-D2B8F17E3A64}", "a/b", "a%2Fb", "..",
                                 ".hidden", "mit Leerzeichen",
                                 // Split so that the escape ends before the "b".
                                 "\xC3\xBC" // NOLINT(bugprone-suspicious-missing-comma)
                                 "ber"};
    const std::string folder = platform::ParentFolder(NamedLock::PathFor("x"));
    EXPECT_EQ(folder.rfind(home.RuntimeDir() + "/", 0), 0u) << folder;
    std::set<std::string> files;
    std::vector<NamedLock> locks;
    for (const auto& name : names) {
        const std::string path = NamedLock::PathFor(name);
        EXPECT_EQ(platform::ParentFolder(path), folder) << name;
        const std::string file = path.substr(folder.size() + 1);
        EXPECT_NE(file[0], '.') << file;
        EXPECT_TRUE(files.insert(file).second) << file;
        auto lock = NamedLock::TryAcquire(name);
        ASSERT_TRUE(lock) << name;
        locks.push_back(std::move(*lock));
        EXPECT_TRUE(platform::FileExists(path)) << path;
    }
    EXPECT_TRUE(files.contains("{A47C2E19-6B3D-4E8F-9C05-D2B8F17E3A64}.lock"));
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(NamedLock, BadNamesAreRefused) {
    TempHome home;
    EXPECT_THROW(NamedLock::TryAcquire(""), platform::NamedLockError);
    EXPECT_THROW(NamedLock::TryAcquire(std::string(300, 'x')), platform::NamedLockError);
    EXPECT_FALSE(NamedLock::IsHeldByAnotherProcess(""));
}

} // namespace
