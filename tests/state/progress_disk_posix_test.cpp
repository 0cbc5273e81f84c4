// Replacing the progress file while a reader has it open (Linux).

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "state/progress.h"
#include "tests/state/state_files_test.h"

namespace ombrel {
namespace {

TEST_F(StateFilesTest, SavingReplacesTheProgressFileAsAWhole) {
    TProgress progress(io, messages);
    ASSERT_TRUE(progress.SetApiVersionResponse(
        R"({"version": "1", "packages": [{"id": 1, "name": "a", "files": ["*"]}]})"));
    const std::string path = folder / "p.progress";
    ASSERT_TRUE(progress.SaveToFile(path));
    const std::string before = folder.Read("p.progress");

    // A reader that opened the old file keeps seeing it complete: the new content arrives by
    // rename, never by truncating and rewriting the file in place.
    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    progress.RemovePackage("a");
    ASSERT_TRUE(progress.SaveToFile(path));
    std::string seen(before.size() + 16, '\0');
    ssize_t n = ::pread(fd, seen.data(), seen.size(), 0);
    ::close(fd);
    ASSERT_GE(n, 0);
    seen.resize(static_cast<size_t>(n));
    EXPECT_EQ(seen, before);
    EXPECT_EQ(folder.Read("p.progress"), "\xEF\xBB\xBF{\r\n    \"version\": \"1\"\r\n}\r\n");
    EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"p.progress"}));  // no leftovers
}

}  // namespace
}  // namespace ombrel
