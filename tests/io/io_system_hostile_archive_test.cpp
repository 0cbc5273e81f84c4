// Archives built to hurt: zip bombs (huge totals, high ratios, entries that share their data)
// and names that repeat. Each is refused before anything is written.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "io/io_system.h"
#include "io/zip_layout.h"
#include "tests/io/raw_zip.h"
#include "tests/io/zip_test_archive.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::CollectingMessages;
using testing::Deflated;
using testing::Level;
using testing::NoiseBytes;
using testing::RawZip;
using testing::Stored;
using testing::TempFolder;
using testing::ZipItem;

class HostileArchiveTest : public ::testing::Test {
  protected:
    std::string Archive() const { return temp / "pkg.zip"; }
    std::string Out() const { return temp / "out"; }

    // Unpacks the archive at Archive() into Out(), which does not exist before.
    bool Extract() { return io.ExtractZipFile(Archive(), Out()); }

    // The archive was refused with one error holding `detail`, and nothing was written.
    void ExpectRefused(const std::string& detail) {
        EXPECT_FALSE(Extract());
        auto errors = messages->Texts(Level::Error);
        ASSERT_EQ(errors.size(), 1u) << messages->Dump();
        EXPECT_THAT(errors[0], HasSubstr(detail));
        EXPECT_FALSE(fs::exists(Out())) << "something was written";
        EXPECT_EQ(messages->Count(Level::Progress), 0u);
    }

    TempFolder temp;
    std::shared_ptr<CollectingMessages> messages = std::make_shared<CollectingMessages>();
    TIO io{messages};
};

TEST_F(HostileArchiveTest, HighRatioEntryIsRefused) {
    // 16 MiB of zeros deflate to about 16 KiB: a ratio near 1000.
    testing::WriteZip(Archive(), {Stored("readme.txt", "hello"),
                                  Deflated("zeros.bin", std::string(16 << 20, '\0'))});
    ExpectRefused("zeros.bin unpacks to 16777216 bytes");
}

TEST_F(HostileArchiveTest, ManySmallHighRatioEntriesAreRefusedAsAWhole) {
    // Each entry stays below the size from which single entries are judged; the archive does not.
    std::vector<ZipItem> items;
    for (int i = 0; i < 24; ++i) {
        items.push_back(Deflated("part" + std::to_string(i), std::string(1 << 20, 'a')));
    }
    testing::WriteZip(Archive(), items);
    ExpectRefused("more than 200 times as many");
}

TEST_F(HostileArchiveTest, TotalAboveTheCapIsRefused) {
    TZipLimits limits;
    limits.maxTotalSize = 1 << 20;
    io.SetZipLimits(limits);
    testing::WriteZip(Archive(), {Stored("a.bin", NoiseBytes(600 << 10, 1)),
                                  Stored("b.bin", NoiseBytes(600 << 10, 2))});
    ExpectRefused("unpacks to more than 1048576 bytes");

    // Right at the cap it unpacks.
    messages->reports.clear();
    testing::WriteZip(Archive(), {Stored("a.bin", NoiseBytes(512 << 10, 1)),
                                  Stored("b.bin", NoiseBytes(512 << 10, 2))});
    ASSERT_TRUE(Extract()) << messages->Dump();
    EXPECT_EQ(fs::file_size(Out() + "/b.bin"), 512u << 10);
}

TEST_F(HostileArchiveTest, EntriesSharingDataAreRefused) {
    struct Case {
        const char* name;
        std::function<std::string()> build;
    } cases[] = {
        {"two names for one entry",
         [] {
             RawZip zip;
             size_t first = zip.AddStored("a.bin", std::string(4096, 'x'));
             zip.AddReference(first, "b.bin");
             return zip.Finish();
         }},
        {"an entry inside the data of another",
         [] {
             RawZip zip;
             zip.AddStored("outer.bin", RawZip::StoredEntryBytes("inner.bin", "inside"));
             // The inner entry's header starts right after the outer one's own header.
             zip.AddListing({"inner.bin", "inside", 6, RawZip::Crc("inside"), 0,
                             30 + std::string("outer.bin").size()});
             return zip.Finish();
         }},
        {"an entry whose header lies in the central directory",
         [] {
             RawZip zip;
             zip.AddStored("a.bin", "a");
             zip.AddListing({"b.bin", "b", 1, RawZip::Crc("b"), 0, zip.Size()});
             return zip.Finish();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        messages->reports.clear();
        testing::WriteFileBytes(Archive(), c.build());
        ExpectRefused(std::string(c.name) == "an entry whose header lies in the central directory"
                          ? "no local header for b.bin"
                          : "overlap");
    }
}

TEST_F(HostileArchiveTest, RepeatedNamesAreRefused) {
    struct Case {
        std::vector<std::string> names;
        const char* twice;  // nullptr: the archive is fine
    } cases[] = {
        {{"a.txt", "a.txt"}, "a.txt"},
        {{"d/a.txt", "d\\a.txt"}, "d\\a.txt"},
        {{"a.txt", "./a.txt"}, "./a.txt"},
        {{"d", "d/a.txt"}, "d"},
        {{"d/a.txt", "d"}, "d"},
        {{"d/", "d"}, "d"},
        {{"d", "d/"}, "d/"},
        {{"d/", "d/", "d/a.txt"}, nullptr},
        {{"d/a.txt", "d/"}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.names));
        messages->reports.clear();
        fs::remove_all(Out());
        RawZip zip;
        for (const auto& name : c.names) {
            zip.AddStored(name, name.back() == '/' ? "" : "data of " + name);
        }
        testing::WriteFileBytes(Archive(), zip.Finish());
        if (c.twice != nullptr) {
            ExpectRefused(std::string(c.twice) + " is there twice");
        } else {
            EXPECT_TRUE(Extract()) << messages->Dump();
        }
    }
}

TEST(ZipLayout, ReadsWhatTheDirectoryDeclares) {
    RawZip zip;
    zip.AddStored("one", "1");
    zip.AddStored("two/", "");
    zip.AddRaw("three", "xyz", 1000, 0, 8);
    const std::string bytes = zip.Finish();
    std::vector<TZipLayoutEntry> entries;
    auto read = [&bytes](uint64_t offset, void* buffer, size_t size) {
        if (offset > bytes.size() || size > bytes.size() - offset) return false;
        std::memcpy(buffer, bytes.data() + offset, size);
        return true;
    };
    ASSERT_EQ(ReadZipLayout(bytes.size(), read, entries), "");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].rawName, "one");
    EXPECT_EQ(entries[0].headerOffset, 0u);
    EXPECT_EQ(entries[0].dataOffset, 33u);
    EXPECT_EQ(entries[2].size, 1000u);
    EXPECT_EQ(entries[2].compressedSize, 3u);

    // Cut anywhere, the archive is damaged, never read beyond its end.
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        auto shorter = [&bytes, cut](uint64_t offset, void* buffer, size_t size) {
            if (offset > cut || size > cut - offset) return false;
            std::memcpy(buffer, bytes.data() + offset, size);
            return true;
        };
        EXPECT_NE(ReadZipLayout(cut, shorter, entries), "");
    }
}

}  // namespace
}  // namespace ombrel
