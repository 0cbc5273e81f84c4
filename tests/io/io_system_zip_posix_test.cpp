// Archive extraction where Linux differs: links on disk, mode bits.

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/io/extract_zip_test.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using testing::Stored;
using testing::ZipItem;

TEST_F(ExtractZipTest, NeverWritesThroughALinkFoundOnDisk) {
    const std::string outside = temp / "outside";
    fs::create_directories(outside);
    temp.Write("outside/victim.txt", "precious");
    fs::create_directories(Out());
    fs::create_directory_symlink(outside, Out() + "/linkdir");
    fs::create_symlink(outside + "/victim.txt", Out() + "/linkfile");

    // A folder link on the way: refused.
    EXPECT_FALSE(Extract({Stored("linkdir/victim.txt", "owned")}));
    ExpectOneErrorFromTio();
    EXPECT_FALSE(Extract({Stored("linkdir/sub/new.txt", "owned")}));
    EXPECT_FALSE(Extract({Stored("linkdir/", "")}));
    // A link in the file's own place: the link is replaced, its target untouched.
    messages->reports.clear();
    EXPECT_TRUE(Extract({Stored("linkfile", "replaced")})) << messages->Dump();
    EXPECT_FALSE(fs::is_symlink(Out() + "/linkfile"));
    EXPECT_EQ(temp.Read("out/linkfile"), "replaced");

    EXPECT_EQ(temp.Read("outside/victim.txt"), "precious");
    EXPECT_THAT(Tree(outside), ::testing::ElementsAre("victim.txt"));
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

TEST_F(ExtractZipTest, KeepsModesOfUnixEntriesAndTheReadOnlyAttributeOfMsDosEntries) {
    const struct {
        const char* name;
        std::optional<uint32_t> unixMode;
        std::optional<uint8_t> dos;
        mode_t expected;  // 0: the default for new files
    } cases[] = {
        {"run.sh", 0100755, {}, 0755},
        {"suid", 0104755, {}, 0755},
        {"sgid-sticky", 0103750, {}, 0750},
        {"private", 0100600, {}, 0600},
        {"ro-unix", 0100444, {}, 0444},
        {"no-type-bits", 0755, {}, 0755},
        {"dos-readonly", {}, 0x01, 0},
        {"dos-hidden-readonly", {}, 0x03, 0},
        {"dos-archive", {}, 0x20, 0},
    };
    std::vector<ZipItem> items;
    for (const auto& c : cases) {
        ZipItem item = Stored(c.name, "data");
        item.unixMode = c.unixMode;
        item.dosAttributes = c.dos;
        items.push_back(item);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    const mode_t fresh = 0666 & ~mask;

    ASSERT_TRUE(Extract(items)) << messages->Dump();
    for (const auto& c : cases) {
        const mode_t mode = ModeOf(Out() + "/" + c.name);
        if (c.dos && (*c.dos & 0x01)) {
            EXPECT_EQ(mode, fresh & ~0222) << c.name;
        } else {
            EXPECT_EQ(mode, c.expected ? c.expected : fresh) << c.name;
        }
    }
}

}  // namespace
}  // namespace ombrel
