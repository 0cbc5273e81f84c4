// The store's index: what a reader accepts, and a serving reader across replacements.

#include "tools/ombrel-server/release_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/tools/ombrel-server/server_test_support.h"

namespace ombrel::server {
namespace {

using ombrel::testing::TempFolder;

TStoreIndex SmallIndex() {
    TStoreIndex index;
    TStoredPackage p;
    p.Id = 1;
    p.Name = "core";
    p.Version = "1.0";
    p.Files = {"*"};
    p.StoredFile = "1-core-1.0.zip";
    p.Installed = {{"a.txt", "0123456789abcdef0123456789abcdef"}};
    index.Packages.push_back(p);
    index.NextId = 2;
    index.Releases.push_back({"demo", "stable", "1.0", "2024-01-01T00:00:00Z", {1}, "", ""});
    return index;
}

TEST(StoreIndex, WrittenIndexReadsBack) {
    TStoreIndex back;
    std::string error;
    ASSERT_TRUE(ReadIndexText(WriteIndexText(SmallIndex()), back, error)) << error;
    EXPECT_EQ(WriteIndexText(back), WriteIndexText(SmallIndex()));
}

TEST(StoreIndex, InconsistentIndexesAreRefused) {
    struct {
        const char* label;
        void (*change)(TStoreIndex&);
        const char* errorPart;
    } cases[] = {
        {"id twice", [](TStoreIndex& i) { i.Packages.push_back(i.Packages[0]); }, "not unique"},
        {"id not positive", [](TStoreIndex& i) { i.Packages[0].Id = 0; }, "not positive"},
        {"id not below next", [](TStoreIndex& i) { i.NextId = 1; }, "next_id"},
        {"release names unknown id", [](TStoreIndex& i) { i.Releases[0].Packages = {7}; },
         "unknown package 7"},
        {"release twice", [](TStoreIndex& i) { i.Releases.push_back(i.Releases[0]); },
         "stored twice"},
        // A stored file name is joined to the files folder for downloads: no way out of it.
        {"stored file leaves", [](TStoreIndex& i) { i.Packages[0].StoredFile = "../index.json"; },
         "unusable stored file"},
        {"source file leaves", [](TStoreIndex& i) { i.Packages[0].SourceFile = "/etc/passwd"; },
         "unusable stored file"},
    };
    for (const auto& c : cases) {
        TStoreIndex index = SmallIndex();
        c.change(index);
        TStoreIndex read;
        std::string error;
        EXPECT_FALSE(ReadIndexText(WriteIndexText(index), read, error)) << c.label;
        EXPECT_THAT(error, ::testing::HasSubstr(c.errorPart)) << c.label;
    }
    TStoreIndex read;
    std::string error;
    EXPECT_FALSE(ReadIndexText("{\"format\": 2, \"next_id\": 1}", read, error));
    EXPECT_THAT(error, ::testing::HasSubstr("format 2"));
    EXPECT_FALSE(ReadIndexText("not json", read, error));
}

TEST(StoreReader, KeepsTheLastGoodIndexWhenTheFileBreaks) {
    TempFolder tmp;
    TStoreReader reader(tmp.Path());
    std::string error;
    auto empty = reader.Current(&error);
    EXPECT_TRUE(empty->Releases.empty());  // no index yet: an empty store, no error
    EXPECT_EQ(error, "");

    ASSERT_TRUE(SaveIndex(tmp.Path(), SmallIndex(), error)) << error;
    auto first = reader.Current(&error);
    ASSERT_EQ(first->Releases.size(), 1u);
    EXPECT_EQ(reader.Current(&error), first);  // unchanged file: not read again

    ASSERT_TRUE(WriteFileDurably(IndexPath(tmp.Path()), "{ broken", error));
    EXPECT_EQ(reader.Current(&error), first);
    EXPECT_THAT(error, ::testing::HasSubstr("unreadable index"));

    TStoreIndex two = SmallIndex();
    two.Releases.push_back({"demo", "stable", "1.1", "", {1}, "", ""});
    ASSERT_TRUE(SaveIndex(tmp.Path(), two, error)) << error;
    EXPECT_EQ(reader.Current(&error)->Releases.size(), 2u);
    EXPECT_EQ(error, "");
}

}  // namespace
}  // namespace ombrel::server
