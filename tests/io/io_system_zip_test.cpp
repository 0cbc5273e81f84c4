// ExtractZipFile on real archives written by the tests.

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "io/io_system.h"
#include "io/zip_reader.h"
#include "tests/io/extract_zip_test.h"
#include "tests/io/zip_test_archive.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using testing::Below;
using testing::CollectingMessages;
using testing::Deflated;
using testing::Level;
using testing::Stored;
using testing::ZipItem;
using testing::ZipNameEncoding;

TEST_F(ExtractZipTest, UnpacksFilesAndFoldersIntoAFolderThatDoesNotExistYet) {
    const std::string big = testing::NoiseBytes(200 * 1024);
    ASSERT_TRUE(Extract({
        Stored("top.txt", "top level"),
        Deflated("sub/inner.bin", big),
        Stored("empty/", ""),
        Stored("sub/nothing.dat", ""),
        Deflated("deep/a/b/c.txt", std::string(10000, 'x')),
    })) << messages->Dump();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();

    EXPECT_EQ(temp.Read("out/top.txt"), "top level");
    EXPECT_EQ(temp.Read("out/sub/inner.bin"), big);
    EXPECT_EQ(temp.Read("out/sub/nothing.dat"), "");
    EXPECT_EQ(temp.Read("out/deep/a/b/c.txt"), std::string(10000, 'x'));
    EXPECT_TRUE(fs::is_directory(Below(Out(), "empty")));
    // Nothing but the entries: no temporary files left behind.
    EXPECT_THAT(Tree(Out()),
                ::testing::ElementsAre("deep", "deep/a", "deep/a/b", "deep/a/b/c.txt", "empty",
                                       "sub", "sub/inner.bin", "sub/nothing.dat", "top.txt"));

    // Every non-empty file ends with 100 under its full target path; an empty one reports 0.
    for (const char* name : {"top.txt", "sub/inner.bin", "deep/a/b/c.txt"}) {
        auto percents = PercentsFor(Below(Out(), name));
        ASSERT_FALSE(percents.empty()) << name << "\n" << messages->Dump();
        EXPECT_EQ(percents.back(), 100) << name;
    }
    EXPECT_THAT(PercentsFor(Below(Out(), "sub/nothing.dat")), ::testing::ElementsAre(0));
    EXPECT_TRUE(PercentsFor(Below(Out(), "empty")).empty());
    EXPECT_TRUE(PercentsFor(Below(Out(), "empty/")).empty());
}

TEST_F(ExtractZipTest, ReportsProgressSeveralTimesWhileInflatingALargeEntry) {
    const std::string data = testing::NoiseBytes(600 * 1024);
    ASSERT_TRUE(Extract({Deflated("big.bin", data)})) << messages->Dump();
    const auto percents = PercentsFor(Below(Out(), "big.bin"));
    ASSERT_GE(percents.size(), 5u) << messages->Dump();
    EXPECT_GT(percents.front(), 0);
    EXPECT_LT(percents.front(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end())) << messages->Dump();
    EXPECT_EQ(percents.back(), 100);
    // Only progress reports go to the sink.
    EXPECT_EQ(messages->Count(Level::Progress), messages->reports.size());
}

TEST_F(ExtractZipTest, RoundsPercentHalfToEven) {
    // A stored entry of eight input chunks: positions 1/8, 2/8 ... give 12.5, 25, 37.5 ...
    const std::string data(8 * TZipReader::kInputChunk, 'z');
    ASSERT_TRUE(Extract({Stored("eighths.bin", data)})) << messages->Dump();
    EXPECT_THAT(PercentsFor(Below(Out(), "eighths.bin")),
                ::testing::ElementsAre(12, 25, 38, 50, 62, 75, 88, 100));
}

TEST_F(ExtractZipTest, RefusesAFileThatIsNoArchive) {
    const struct {
        const char* label;
        const char* content;  // nullptr: no file at all
    } cases[] = {
        {"text file", "this is not a zip archive, just text"},
        {"empty file", ""},
        {"missing file", nullptr},
        {"local header only", "PK\x03\x04garbage"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        messages->reports.clear();
        const std::string path = temp / "not-a.zip";
        fs::remove(path);
        if (c.content) temp.Write("not-a.zip", c.content);
        EXPECT_FALSE(io.ExtractZipFile(path, Out()));
        EXPECT_THAT(messages->Texts(Level::Error),
                    ::testing::ElementsAre(path + " is not a valid Zip-File"));
        EXPECT_EQ(messages->reports.size(), 1u) << messages->Dump();
        EXPECT_FALSE(fs::exists(Out()));
    }
}

TEST_F(ExtractZipTest, RefusesNamesThatLeaveTheTargetFolder) {
    const std::string outsideAbs = temp / "abs-target.txt";
    const struct {
        const char* label;
        ZipItem item;
    } cases[] = {
        {"parent", Stored("../evil.txt", "x")},
        {"deep parent", Stored("a/../../evil.txt", "x")},
        {"backslash parent", Stored("..\\evil.txt", "x")},
        {"mixed parent", Stored("a\\..\\..\\evil.txt", "x")},
        {"absolute", Stored(outsideAbs, "x")},
        {"backslash rooted", Stored("\\evil.txt", "x")},
        {"drive form", Stored("C:evil.txt", "x")},
        {"parent folder entry", Stored("../evil/", "")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        messages->reports.clear();
        fs::remove_all(Out());
        EXPECT_FALSE(Extract({Stored("first.txt", "1"), c.item, Stored("after.txt", "2")}));
        ExpectOneErrorFromTio();
        // Every name is checked before anything is written: nothing is.
        EXPECT_THAT(Tree(temp.Path()), ::testing::ElementsAre("pkg.zip"));
    }
}

TEST_F(ExtractZipTest, NeverCreatesSymbolicLinks) {
    ZipItem link = Stored("link", "/etc/passwd");
    link.unixMode = 0120777;
    EXPECT_FALSE(Extract({link}));
    ExpectOneErrorFromTio();
    EXPECT_FALSE(fs::exists(fs::symlink_status(Below(Out(), "link"))));
}

// Offset of the central-directory record of the entry `name`.
size_t CentralRecord(const std::string& archive, const std::string& name) {
    const std::string signature("PK\x01\x02", 4);
    for (size_t pos = archive.find(signature); pos != std::string::npos;
         pos = archive.find(signature, pos + 1)) {
        const auto u16 = [&](size_t at) {
            return static_cast<size_t>(static_cast<unsigned char>(archive[at])) |
                   static_cast<size_t>(static_cast<unsigned char>(archive[at + 1])) << 8;
        };
        if (archive.compare(pos + 46, u16(pos + 28), name) == 0) return pos;
    }
    throw std::runtime_error("no central record for " + name);
}

// Offset of the local header of the entry `name`.
size_t LocalHeader(const std::string& archive, const std::string& name) {
    const std::string signature("PK\x03\x04", 4);
    for (size_t pos = archive.find(signature); pos != std::string::npos;
         pos = archive.find(signature, pos + 1)) {
        if (archive.compare(pos + 30, name.size(), name) == 0) return pos;
    }
    throw std::runtime_error("no local header for " + name);
}

void PutU32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

TEST_F(ExtractZipTest, RefusesDamagedEntries) {
    const std::string text = "stored text that will be damaged on disk";
    const std::string noise = testing::NoiseBytes(100 * 1024);
    const struct {
        const char* label;
        ZipItem item;
        std::function<void(std::string&)> damage;
    } cases[] = {
        {"stored, bad CRC", Stored("e.txt", text),
         [&](std::string& bytes) { bytes[bytes.find(text) + 5] ^= 0x20; }},
        {"stored, longer than declared", Stored("e.txt", text),
         [](std::string& bytes) { PutU32(bytes, CentralRecord(bytes, "e.txt") + 24, 10); }},
        {"deflated, longer than declared", Deflated("e.txt", noise),
         [](std::string& bytes) { PutU32(bytes, CentralRecord(bytes, "e.txt") + 24, 1000); }},
        {"deflated, shorter than declared", Deflated("e.txt", noise),
         [&](std::string& bytes) {
             PutU32(bytes, CentralRecord(bytes, "e.txt") + 24, noise.size() + 1);
         }},
        {"deflated, bad CRC", Deflated("e.txt", noise),
         [](std::string& bytes) { PutU32(bytes, CentralRecord(bytes, "e.txt") + 16, 0x1234); }},
        {"deflated, broken data", Deflated("e.txt", std::string(50000, 'a')),
         [](std::string& bytes) {
             // The first byte of the deflate stream: a block type that does not exist.
             const size_t local = LocalHeader(bytes, "e.txt");
             const size_t extra = static_cast<unsigned char>(bytes[local + 28]);
             bytes[local + 30 + std::strlen("e.txt") + extra] = static_cast<char>(0x07);
         }},
        {"unsupported method", Stored("e.txt", text),
         [](std::string& bytes) {
             size_t central = CentralRecord(bytes, "e.txt");
             bytes[central + 10] = 14;  // LZMA
             bytes[LocalHeader(bytes, "e.txt") + 8] = 14;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        messages->reports.clear();
        fs::remove_all(Out());
        testing::WriteZip(Archive(), {Stored("ok.txt", "fine"), c.item});
        std::string bytes = temp.Read("pkg.zip");
        c.damage(bytes);
        testing::WriteFileBytes(Archive(), bytes);

        EXPECT_FALSE(io.ExtractZipFile(Archive(), Out()));
        ExpectOneErrorFromTio();
        // The report names the archive.
        EXPECT_THAT(messages->Texts(Level::Error)[0], ::testing::StartsWith(Archive() + ": "));
        // The earlier entry stays; the damaged one is not there, not even in part.
        EXPECT_EQ(temp.Read("out/ok.txt"), "fine");
        EXPECT_THAT(Tree(Out()), ::testing::ElementsAre("ok.txt"));
    }
}

TEST_F(ExtractZipTest, SetsModificationTimes) {
    ZipItem file = Stored("dated.txt", "x");
    file.mtime = 1600000000;  // an even second: MS-DOS times have two-second steps
    ZipItem inflated = Deflated("sub/dated.bin", "yyyyyyyyyy");
    inflated.mtime = 1234567890;
    ASSERT_TRUE(Extract({file, inflated})) << messages->Dump();
    EXPECT_EQ(fs::last_write_time(Below(Out(), "dated.txt")).time_since_epoch(),
              (fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(
                   1600000000)))
                  .time_since_epoch());
    struct stat st;
    ASSERT_EQ(::stat(Below(Out(), "sub/dated.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1234567890);
}

TEST_F(ExtractZipTest, DecodesNamesAndTakesBothSeparators) {
    ZipItem utf8 = Stored("größe.txt", "utf8");
    utf8.nameEncoding = ZipNameEncoding::Utf8;
    ZipItem legacy = Stored("\x81" "ber.txt", "cp437");  // "über" in code page 437
    legacy.nameEncoding = ZipNameEncoding::Cp437;
    ZipItem backslashes = Stored("win\\sub\\file.txt", "backslashes");
    ASSERT_TRUE(Extract({utf8, legacy, backslashes, Stored("./dot/./x.txt", "dots")}))
        << messages->Dump();
    EXPECT_EQ(temp.Read("out/größe.txt"), "utf8");
    EXPECT_EQ(temp.Read("out/über.txt"), "cp437");
    EXPECT_EQ(temp.Read("out/win/sub/file.txt"), "backslashes");
    EXPECT_EQ(temp.Read("out/dot/x.txt"), "dots");
    EXPECT_THAT(PercentsFor(Below(Out(), "win/sub/file.txt")), ::testing::ElementsAre(100));
}

TEST_F(ExtractZipTest, ReplacesExistingFilesButNotFolders) {
    temp.Write("out/a.txt", "old content that is longer");
    temp.Write("out/dir/keep.txt", "k");
    ASSERT_TRUE(Extract({Stored("a.txt", "new")})) << messages->Dump();
    EXPECT_EQ(temp.Read("out/a.txt"), "new");

    EXPECT_FALSE(Extract({Stored("dir", "a file where a folder is")}));
    ExpectOneErrorFromTio();
    EXPECT_THAT(messages->Texts(Level::Error),
                ::testing::ElementsAre("cannot write \"" + Below(Out(), "dir") + "\": Is a directory"));
    EXPECT_EQ(temp.Read("out/dir/keep.txt"), "k");

    messages->reports.clear();
    EXPECT_FALSE(Extract({Stored("a.txt/inner.txt", "a folder where a file is")}));
    ExpectOneErrorFromTio();
    EXPECT_THAT(messages->Texts(Level::Error),
                ::testing::ElementsAre("cannot create folder \"" + Below(Out(), "a.txt") + "\": Not a directory"));
    EXPECT_EQ(temp.Read("out/a.txt"), "new");
}

TEST_F(ExtractZipTest, AnEmptyArchiveExtractsNothing) {
    // libzip writes no file for an archive without entries: write the bare end record.
    temp.Write("pkg.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    EXPECT_TRUE(io.ExtractZipFile(Archive(), Out())) << messages->Dump();
    EXPECT_TRUE(messages->reports.empty()) << messages->Dump();
}

TEST_F(ExtractZipTest, ReportsTheSameEntryAgainInALaterExtraction) {
    // Unchanged percents are not repeated within one extraction; that must not swallow the
    // report of the next one.
    ASSERT_TRUE(Extract({Stored("one.txt", "1")}));
    ASSERT_TRUE(Extract({Stored("one.txt", "1")}));
    EXPECT_THAT(PercentsFor(Below(Out(), "one.txt")), ::testing::ElementsAre(100, 100));
}

TEST_F(ExtractZipTest, FolderExtractionShowsTheFinalFolderOnlyWhenComplete) {
    // Left behind by an earlier, interrupted attempt.
    temp.Write("out.part/stale.txt", "half");
    testing::WriteZip(Archive(), {Stored("top.txt", "top"), Deflated("sub/b.txt", "bee")});
    ASSERT_TRUE(io.ExtractZipFolder(Archive(), Out())) << messages->Dump();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    // The completion marker, written last, lists the files with their sizes and CRC-32.
    EXPECT_THAT(Tree(Out()), ::testing::ElementsAre(".ombrel-unpacked", "sub", "sub/b.txt", "top.txt"));
    EXPECT_THAT(temp.Read(Below(Out(), ".ombrel-unpacked")),
                ::testing::EndsWith("\r\nfile 1ed91fca 3 top.txt\r\nfile 9140cc69 3 " + testing::Native("sub/b.txt") + "\r\n"));
    EXPECT_TRUE(io.CheckUnpackedFolder(Archive(), Out(), true));
    EXPECT_FALSE(fs::exists(Out() + ".part"));
    // Reports name where the files end up, not the staging folder.
    EXPECT_THAT(PercentsFor(Below(Out(), "top.txt")), ::testing::ElementsAre(100));
    EXPECT_THAT(PercentsFor(Below(Out(), "sub/b.txt")), ::testing::Contains(100));
    for (const auto& r : messages->reports) {
        EXPECT_EQ(r.text.find(".part"), std::string::npos) << r.text;
    }
}

TEST_F(ExtractZipTest, AnUnpackedFolderIsUsableOnlyAsUnpacked) {
    std::vector<ZipItem> items;
    for (int i = 1; i <= 6; ++i) {
        items.push_back(Deflated("f" + std::to_string(i) + ".txt", "content " + std::to_string(i)));
    }
    testing::WriteZip(Archive(), items);
    const std::string prefix = Out() + " is no complete unpacking of " + Archive() + ": ";
    const struct {
        const char* label;
        std::vector<std::pair<std::string, std::string>> changes;  // name, new bytes ("" drops)
        std::string quick;      // why a look at the sizes refuses it ("" when usable)
        std::string thorough;   // why reading the files back refuses it
    } cases[] = {
        {"as unpacked", {}, "", ""},
        {"content changed late", {{"f5.txt", "CONTENT 5"}}, "", "f5.txt has another content"},
        {"content changed early and late", {{"f2.txt", "CONTENT 2"}, {"f5.txt", "CONTENT 5"}},
         "", "f2.txt has another content"},
        {"size changed", {{"f6.txt", "longer content 6"}}, "f6.txt has another size",
         "f6.txt has another size"},
        {"missing", {{"f3.txt", ""}}, "other files than unpacked", "other files than unpacked"},
        {"one more", {{"f7.txt", "seven"}}, "other files than unpacked",
         "other files than unpacked"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(io.ExtractZipFolder(Archive(), Out())) << messages->Dump();
        for (const auto& [name, bytes] : c.changes) {
            if (bytes.empty()) {
                fs::remove(Below(Out(), name));
            } else {
                testing::WriteFileBytes(Below(Out(), name), bytes);
            }
        }
        for (const bool thorough : {false, true}) {
            messages->reports.clear();
            const std::string& why = thorough ? c.thorough : c.quick;
            EXPECT_EQ(io.CheckUnpackedFolder(Archive(), Out(), thorough), why.empty()) << thorough;
            if (why.empty()) {
                EXPECT_THAT(messages->reports, ::testing::IsEmpty());
            } else {
                EXPECT_THAT(messages->Texts(Level::Log), ::testing::ElementsAre(prefix + why));
            }
        }
        fs::remove_all(Out());
    }
}

TEST_F(ExtractZipTest, ALargeArchiveIsUnpackedAsInOneGoAlsoWhenItFails) {
    // Six entries of 1 MiB each that deflate cannot shrink: large enough to be unpacked by
    // more than one thread where the platform does so.
    std::vector<ZipItem> items;
    std::vector<std::string> captions;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "part" + std::to_string(i) + ".bin";
        // Stored and deflated by turns.
        ZipItem item = Stored(name, "ENTRY" + std::to_string(i) +
                                        testing::NoiseBytes(1 << 20, static_cast<uint32_t>(i + 1)));
        item.deflate = i % 2 == 1;
        items.push_back(item);
        captions.push_back(Below(Out(), name));
    }
    // The captions of the progress reports in the order they came, each once in a row.
    const auto told = [this] {
        std::vector<std::string> order;
        for (const auto& r : messages->reports) {
            if (r.level != Level::Progress) continue;
            if (order.empty() || order.back() != r.text) order.push_back(r.text);
        }
        return order;
    };

    testing::WriteZip(Archive(), items);
    ASSERT_TRUE(io.ExtractZipFolder(Archive(), Out())) << messages->Dump();
    for (const auto& item : items) {
        EXPECT_EQ(testing::ReadFileBytes(Below(Out(), item.name)), item.data) << item.name;
    }
    EXPECT_EQ(told(), captions);
    for (const auto& caption : captions) EXPECT_EQ(PercentsFor(caption).back(), 100) << caption;
    const std::string marker = testing::ReadFileBytes(Below(Out(), ".ombrel-unpacked"));
    size_t at = 0;
    for (const auto& item : items) {
        const size_t found = marker.find(" " + item.name + "\r\n", at);
        ASSERT_NE(found, std::string::npos) << item.name;
        at = found;
    }
    EXPECT_TRUE(io.CheckUnpackedFolder(Archive(), Out(), true));

    // Damaged entries: the first one ends the unpacking, nothing after it is told, and no
    // folder is left.
    const struct {
        const char* label;
        std::vector<int> damaged;
        int first;
    } cases[] = {{"late entry", {4}, 4}, {"early and late entries", {1, 4}, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(Out());
        testing::WriteZip(Archive(), items);
        std::string bytes = testing::ReadFileBytes(Archive());
        for (int i : c.damaged) {
            const size_t data = bytes.find("ENTRY" + std::to_string(i));
            ASSERT_NE(data, std::string::npos);
            bytes[data + 1000] = static_cast<char>(bytes[data + 1000] ^ 0x5a);
        }
        testing::WriteFileBytes(Archive(), bytes);
        messages->reports.clear();
        EXPECT_FALSE(io.ExtractZipFolder(Archive(), Out()));
        EXPECT_THAT(messages->Texts(Level::Error), ::testing::ElementsAre(Archive() + ": CRC error"));
        const auto order = told();
        ASSERT_FALSE(order.empty());
        EXPECT_EQ(order.back(), captions[static_cast<size_t>(c.first)]);
        EXPECT_EQ(order, std::vector<std::string>(captions.begin(), captions.begin() + c.first + 1));
        EXPECT_FALSE(fs::exists(Out()));
        EXPECT_FALSE(fs::exists(Out() + ".part"));
    }
}

TEST_F(ExtractZipTest, FailedFolderExtractionLeavesNoFolderBehind) {
    const struct {
        const char* label;
        std::vector<ZipItem> items;
    } cases[] = {
        {"hostile name after a good entry", {Stored("good.txt", "g"), Stored("../evil.txt", "e")}},
        {"link entry", {Stored("good.txt", "g"), [] {
             ZipItem link = Stored("link", "/etc/passwd");
             link.unixMode = 0120777;
             return link;
         }()}},
    };
    for (const auto& c : cases) {
        messages->reports.clear();
        testing::WriteZip(Archive(), c.items);
        EXPECT_FALSE(io.ExtractZipFolder(Archive(), Out())) << c.label;
        ExpectOneErrorFromTio();
        EXPECT_FALSE(fs::exists(Out())) << c.label;
        EXPECT_FALSE(fs::exists(Out() + ".part")) << c.label;
    }
    EXPECT_FALSE(fs::exists(temp / "evil.txt"));

    messages->reports.clear();
    temp.Write("pkg.zip", "no archive");
    EXPECT_FALSE(io.ExtractZipFolder(Archive(), Out()));
    EXPECT_THAT(messages->Texts(Level::Error),
                ::testing::ElementsAre(Archive() + " is not a valid Zip-File"));
    EXPECT_FALSE(fs::exists(Out()));
    EXPECT_FALSE(fs::exists(Out() + ".part"));
}

TEST_F(ExtractZipTest, FolderExtractionOfAnEmptyArchiveGivesAnEmptyFolder) {
    temp.Write("pkg.zip", std::string("PK\x05\x06", 4) + std::string(18, '\0'));
    ASSERT_TRUE(io.ExtractZipFolder(Archive(), Out())) << messages->Dump();
    EXPECT_TRUE(fs::is_directory(Out()));
    EXPECT_THAT(Tree(Out()), ::testing::ElementsAre(".ombrel-unpacked"));
    EXPECT_TRUE(io.CheckUnpackedFolder(Archive(), Out(), true));
}

}  // namespace
}  // namespace ombrel
