#include "platform/file_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using Result = TFileLock::TResult;

TEST(TFileLock, OneHolderAtATimeAcrossProcesses) {
    testing::TempFolder tmp;
    const std::string path = tmp / "App.ombrel.lock";
    std::unique_ptr<TFileLock> lock;
    std::string error;
    ASSERT_EQ(TFileLock::Acquire(path, lock, error), Result::Locked) << error;

    // Another process is refused while the lock is held.
    pid_t child = fork();
    if (child == 0) {
        std::unique_ptr<TFileLock> other;
        std::string otherError;
        _exit(TFileLock::Acquire(path, other, otherError) == Result::Busy ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    lock.reset();
    EXPECT_FALSE(std::filesystem::exists(path)) << "the lock file is removed when released";
    EXPECT_EQ(TFileLock::Acquire(path, lock, error), Result::Locked);
}

TEST(TFileLock, LinkAtTheLockPathIsRefused) {
    testing::TempFolder tmp;
    const std::string target = tmp.Write("elsewhere", "keep");
    std::filesystem::create_symlink(target, tmp / "x.lock");
    std::unique_ptr<TFileLock> lock;
    std::string error;
    EXPECT_EQ(TFileLock::Acquire(tmp / "x.lock", lock, error), Result::Failed);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(tmp.Read("elsewhere"), "keep");

    EXPECT_EQ(TFileLock::Acquire(tmp / "missing/x.lock", lock, error), Result::Failed);
}

}  // namespace
}  // namespace ombrel
