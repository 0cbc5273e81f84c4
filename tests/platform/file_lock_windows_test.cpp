// The run's lock file on Windows (LockFileEx), held against a second process: this suite started
// again with one test selected.
// windows.h first: the other Windows headers need its types.
// clang-format off
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/file_lock.h"
#include "platform/win32_text.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using Result = TFileLock::TResult;

const char kLockPathVariable[] = "OMBREL_TEST_LOCK_PATH";

// Starts this test program with only `test` selected.
PROCESS_INFORMATION StartAlone(const std::string& test) {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_GT(n, 0u);
    std::wstring command = L"\"" + std::wstring(self, n) + L"\" --gtest_filter=" + Widen(test);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start the second process: error " << GetLastError();
    }
    return process;
}

// Runs this test program with only `test` selected; answers its exit status (0: it passed).
DWORD RunAlone(const std::string& test) {
    PROCESS_INFORMATION process = StartAlone(test);
    if (process.hProcess == nullptr) return 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return status;
}

// The second process's part: the lock named by the environment is busy.
TEST(TFileLock, SecondProcessFindsTheLockBusy) {
    const char* path = std::getenv(kLockPathVariable);
    if (path == nullptr || *path == '\0') GTEST_SKIP() << "run by OneHolderAtATimeAcrossProcesses";
    std::unique_ptr<TFileLock> lock;
    std::string error;
    EXPECT_EQ(TFileLock::Acquire(path, lock, error), Result::Busy) << error;
}

TEST(TFileLock, OneHolderAtATimeAcrossProcesses) {
    testing::TempFolder tmp;
    const std::string path = tmp.Path() + "\\App.ombrel.lock";
    std::unique_ptr<TFileLock> lock;
    std::string error;
    ASSERT_EQ(TFileLock::Acquire(path, lock, error), Result::Locked) << error;

    testing::ScopedEnv named(kLockPathVariable, path);
    EXPECT_EQ(RunAlone("TFileLock.SecondProcessFindsTheLockBusy"), 0u);

    lock.reset();
    EXPECT_FALSE(std::filesystem::exists(path)) << "the lock file is removed when released";
    EXPECT_EQ(TFileLock::Acquire(path, lock, error), Result::Locked) << error;
}

// The second process's part: takes the lock named by the environment and keeps it until killed.
TEST(TFileLock, SecondProcessHoldsTheLockUntilKilled) {
    const char* path = std::getenv(kLockPathVariable);
    if (path == nullptr || *path == '\0') GTEST_SKIP() << "run by AKilledHolderLeavesNoStaleLock";
    std::unique_ptr<TFileLock> lock;
    std::string error;
    ASSERT_EQ(TFileLock::Acquire(path, lock, error), Result::Locked) << error;
    testing::WriteFileBytes(std::string(path) + ".held", "");
    Sleep(INFINITE);
}

TEST(TFileLock, AKilledHolderLeavesNoStaleLock) {
    testing::TempFolder tmp;
    const std::string path = tmp.Path() + "\\App.ombrel.lock";
    testing::ScopedEnv named(kLockPathVariable, path);
    PROCESS_INFORMATION holder = StartAlone("TFileLock.SecondProcessHoldsTheLockUntilKilled");
    ASSERT_NE(holder.hProcess, nullptr);
    std::unique_ptr<TFileLock> lock;
    std::string error;
    // Until the holder says it has the lock (at most 30 s).
    for (int i = 0; i < 300 && !std::filesystem::exists(path + ".held"); ++i) Sleep(100);
    EXPECT_EQ(TFileLock::Acquire(path, lock, error), Result::Busy) << error;
    TerminateProcess(holder.hProcess, 9);
    WaitForSingleObject(holder.hProcess, INFINITE);
    CloseHandle(holder.hThread);
    CloseHandle(holder.hProcess);
    // The lock ended with the process; its file stays behind and is taken over.
    EXPECT_EQ(TFileLock::Acquire(path, lock, error), Result::Locked) << error;
}

TEST(TFileLock, LockInAMissingFolderFails) {
    testing::TempFolder tmp;
    std::unique_ptr<TFileLock> lock;
    std::string error;
    EXPECT_EQ(TFileLock::Acquire(tmp.Path() + "\\missing\\x.lock", lock, error), Result::Failed);
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace ombrel
