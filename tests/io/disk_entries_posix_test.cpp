// io/disk_entries and symbolic links: a link is told as a link, listed as one, and removed as
// one; what it leads to stays.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "io/disk_entries.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

TEST(DiskEntriesLinks, AreNeverFollowed) {
    TempFolder temp;
    temp.Write("outside/victim.txt", "kept");
    temp.Write("tree/own.txt", "gone");
    fs::create_directory_symlink(temp / "outside", temp / "tree/to-folder");
    fs::create_symlink(temp / "outside/victim.txt", temp / "tree/to-file");
    fs::create_symlink(temp / "nowhere", temp / "tree/dangling");

    for (const char* name : {"tree/to-folder", "tree/to-file", "tree/dangling"}) {
        TDiskEntry entry;
        EXPECT_FALSE(StatDiskEntry(temp / name, entry)) << name;
        EXPECT_EQ(entry.type, TDiskEntryType::Link) << name;
    }
    std::vector<TFolderItem> items;
    ASSERT_FALSE(ListFolderItems(temp / "tree", items));
    for (const TFolderItem& item : items) {
        EXPECT_EQ(item.type,
                  item.name == "own.txt" ? TDiskEntryType::File : TDiskEntryType::Link)
            << item.name;
    }
    EXPECT_EQ(items.size(), 4u);

    EXPECT_FALSE(RemoveDiskTree(temp / "tree"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp / "tree")));
    EXPECT_EQ(temp.Read("outside/victim.txt"), "kept");
}

}  // namespace
}  // namespace ombrel
