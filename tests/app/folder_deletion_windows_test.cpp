// Folder deletion under Wine while the host swaps a folder of the tree for a link to a folder
// outside and back (tests/io/make_link_fixture.sh): however the swaps fall, the walk never
// leads outside the tree.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/folder_deletion.h"
#include "platform/win32_text.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;

TEST(FolderDeletionWithLinksMadeOnTheHost, AFolderSwappedForALinkDuringTheWalkLeadsNowhere) {
    const char* fixture = std::getenv("OMBREL_LINK_FIXTURE");
    if (fixture == nullptr) GTEST_SKIP() << "no link fixture (made by the suite's CTest setup)";
    const std::string root = fixture;
    const std::string outside = root + "\\swap-outside";
    const std::string dest = root + "\\swap-dest";
    const auto victimsStay = [&] {
        for (int i = 0; i < 20; ++i) {
            const std::string victim = outside + "\\victim" + std::to_string(i) + ".txt";
            if (!fs::exists(victim) || testing::ReadFileBytes(victim) != "precious") return false;
        }
        return true;
    };
    ASSERT_TRUE(victimsStay());

    // The host swaps dest\sub while swap-go exists.
    testing::WriteFileBytes(root + "\\swap-go", "");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    int round = 0;
    for (; std::chrono::steady_clock::now() < deadline && victimsStay(); ++round) {
        std::error_code ignored;
        if (!fs::exists(dest, ignored)) {
            // A fresh tree, made aside (the host swaps only in dest) and moved in whole.
            const std::string made = root + "\\swap-made";
            fs::remove_all(made, ignored);
            // The same names as outside: a walk led there by the swap removes them.
            for (int i = 0; i < 20; ++i) {
                const std::string name = "victim" + std::to_string(i) + ".txt";
                testing::WriteFileBytes(made + "\\sub\\" + name, "mine");
                testing::WriteFileBytes(made + "\\sub\\deeper\\" + name, "mine");
            }
            MoveFileExW(Win32Path(made).c_str(), Win32Path(dest).c_str(), 0);
        }
        std::string error;
        RemoveFolderTree(dest, error);
    }
    fs::remove(root + "\\swap-go");
    testing::WriteFileBytes(root + "\\swap-stop", "");

    EXPECT_TRUE(victimsStay()) << "after " << round << " rounds";
    std::error_code noCount;
    EXPECT_GT(fs::file_size(root + "\\swap-count", noCount), 0u) << "the host never swapped";
}

}  // namespace
}  // namespace ombrel
