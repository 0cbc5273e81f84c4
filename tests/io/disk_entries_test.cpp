// The file system questions of io/disk_entries on real files: what lies at a path, a folder's
// listing, renaming and removing trees, also under names that are not ASCII (UTF-8 text must
// reach the disk as those names, not through a code page).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "io/disk_entries.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::TempFolder;

// Characters of no single ANSI code page: a conversion through one cannot keep them.
const std::string kWideName = "\xE6\x97\xA5\xE6\x9C\xAC-\xCE\xA9-\xC3\xBC";  // 日本-Ω-ü

using TListed = std::pair<std::string, TDiskEntryType>;

// The folder's entries, sorted by name.
std::vector<TListed> Listed(const std::string& folder) {
    std::vector<TFolderItem> items;
    EXPECT_FALSE(ListFolderItems(folder, items)) << folder;
    std::vector<TListed> listed;
    for (const TFolderItem& item : items) listed.emplace_back(item.name, item.type);
    std::sort(listed.begin(), listed.end());
    return listed;
}

TEST(DiskEntries, StatTellsWhatLiesAtAPath) {
    TempFolder temp;
    temp.Write("file.bin", std::string(1234, 'x'));
    temp.Write("folder/inner.txt", "");
    struct Case {
        std::string name;
        TDiskEntryType type;
        uint64_t size;
    };
    const Case cases[] = {
        {"file.bin", TDiskEntryType::File, 1234},
        {"folder", TDiskEntryType::Folder, 0},
        {"folder/inner.txt", TDiskEntryType::File, 0},
        {"missing", TDiskEntryType::Missing, 0},
        {"missing/below", TDiskEntryType::Missing, 0},
        {"file.bin/below", TDiskEntryType::Missing, 0},  // a file on the way is no folder
    };
    for (const Case& c : cases) {
        TDiskEntry entry;
        entry.type = TDiskEntryType::Other;
        EXPECT_FALSE(StatDiskEntry(temp / c.name, entry)) << c.name;
        EXPECT_EQ(entry.type, c.type) << c.name;
        EXPECT_EQ(entry.size, c.size) << c.name;
    }
    EXPECT_TRUE(DiskFileExists(temp / "file.bin"));
    EXPECT_FALSE(DiskFileExists(temp / "folder"));
    EXPECT_FALSE(DiskFileExists(temp / "missing"));
}

TEST(DiskEntries, ListsAFolderWithoutItsDotEntries) {
    TempFolder temp;
    temp.Write("a.txt", "a");
    temp.Write("sub/deeper/b.txt", "b");
    temp.Write(".hidden", "");
    EXPECT_THAT(Listed(temp.Path()), ElementsAre(TListed(".hidden", TDiskEntryType::File),
                                                 TListed("a.txt", TDiskEntryType::File),
                                                 TListed("sub", TDiskEntryType::Folder)));
    TempFolder other;
    EXPECT_THAT(Listed(other.Path()), IsEmpty());
    std::vector<TFolderItem> items;
    EXPECT_TRUE(ListFolderItems(temp / "missing", items));
    EXPECT_TRUE(ListFolderItems(temp / "a.txt", items));
}

TEST(DiskEntries, RenamesReplacingAFileAndRemovesTrees) {
    TempFolder temp;
    temp.Write("from.txt", "new");
    temp.Write("to.txt", "old");
    EXPECT_FALSE(RenameDiskEntry(temp / "from.txt", temp / "to.txt"));
    EXPECT_EQ(temp.Read("to.txt"), "new");
    EXPECT_TRUE(RenameDiskEntry(temp / "from.txt", temp / "again.txt"));

    temp.Write("tree/a/b/c.txt", "c");
    temp.Write("tree/a/d.txt", "d");
    temp.Write("tree/e/.f", "f");
    EXPECT_FALSE(RemoveDiskTree(temp / "tree"));
    EXPECT_FALSE(RemoveDiskTree(temp / "to.txt"));
    EXPECT_FALSE(RemoveDiskTree(temp / "missing"));
    EXPECT_THAT(Listed(temp.Path()), IsEmpty());
}

TEST(DiskEntries, NamesThatAreNotAscii) {
    TempFolder temp;
    temp.Write("plain/file.txt", "12345");
    const std::string folder = temp / kWideName;
    ASSERT_FALSE(RenameDiskEntry(temp / "plain", folder));
    ASSERT_FALSE(RenameDiskEntry(folder + "/file.txt", folder + "/" + kWideName + ".txt"));
    EXPECT_THAT(Listed(temp.Path()), ElementsAre(TListed(kWideName, TDiskEntryType::Folder)));
    EXPECT_THAT(Listed(folder),
                ElementsAre(TListed(kWideName + ".txt", TDiskEntryType::File)));
    TDiskEntry entry;
    EXPECT_FALSE(StatDiskEntry(folder + "/" + kWideName + ".txt", entry));
    EXPECT_EQ(entry.type, TDiskEntryType::File);
    EXPECT_EQ(entry.size, 5u);
    EXPECT_TRUE(DiskFileExists(folder + "/" + kWideName + ".txt"));
    EXPECT_FALSE(RemoveDiskTree(folder));
    EXPECT_THAT(Listed(temp.Path()), IsEmpty());
}

}  // namespace
}  // namespace ombrel
