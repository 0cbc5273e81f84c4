// Replacing the progress file while a reader has it open (Windows).

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/win32_text.h"
#include "state/progress.h"
#include "tests/state/state_files_test.h"

namespace ombrel {
namespace {

TEST_F(StateFilesTest, SavingReplacesTheProgressFileAsAWholeOrNotAtAll) {
    TProgress progress(io, messages);
    ASSERT_TRUE(progress.SetApiVersionResponse(
        R"({"version": "1", "packages": [{"id": 1, "name": "a", "files": ["*"]}]})"));
    const std::string path = folder / "p.progress";
    ASSERT_TRUE(progress.SaveToFile(path));
    const std::string before = folder.Read("p.progress");

    // A reader that opened the old file, sharing it for deletion as readers must for a file
    // to be replaced under them, keeps seeing it complete: the new content arrives by rename,
    // never by truncating and rewriting the file in place. Where the system cannot replace a
    // file that is open (before Windows 10, or under Wine), the save fails and the old file
    // stays as it was.
    HANDLE reader = CreateFileW(Win32Path(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    progress.RemovePackage("a");
    const bool saved = progress.SaveToFile(path);
    std::string seen(before.size() + 16, '\0');
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(reader, seen.data(), static_cast<DWORD>(seen.size()), &n, nullptr));
    CloseHandle(reader);
    seen.resize(n);
    EXPECT_EQ(seen, before);
    if (saved) {
        EXPECT_EQ(folder.Read("p.progress"), "\xEF\xBB\xBF{\r\n    \"version\": \"1\"\r\n}\r\n");
    } else {
        EXPECT_EQ(messages->Count(testing::Level::Error), 1u) << messages->Dump();
        EXPECT_EQ(folder.Read("p.progress"), before);
    }
    EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"p.progress"}));  // no leftovers
    // Once the reader is gone, the save goes through.
    ASSERT_TRUE(progress.SaveToFile(path)) << messages->Dump();
    EXPECT_EQ(folder.Read("p.progress"), "\xEF\xBB\xBF{\r\n    \"version\": \"1\"\r\n}\r\n");
}

}  // namespace
}  // namespace ombrel
