// The archive reader on its own, on archives built byte by byte: what it reads from the central
// directory, what it delivers, and the texts it fails with. The same table runs against the
// reader of every platform.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <ctime>
#include <filesystem>
#include <functional>

#include "io/zip_reader.h"
#include "tests/io/raw_zip.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using testing::RawZip;
using testing::TempFolder;

// Raw deflate data, as zip entries hold them.
std::string Deflate(const std::string& data) {
    z_stream zs{};
    if (deflateInit2(&zs, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&zs, static_cast<uLong>(data.size())), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

RawZip::Entry StoredEntry(const std::string& name, const std::string& data) {
    RawZip::Entry e;
    e.name = name;
    e.data = data;
    e.size = data.size();
    e.crc = RawZip::Crc(data);
    return e;
}

RawZip::Entry DeflatedEntry(const std::string& name, const std::string& data) {
    RawZip::Entry e = StoredEntry(name, data);
    e.data = Deflate(data);
    e.method = 8;
    return e;
}

// Bytes that deflate hardly shrinks.
std::string Noise(size_t size) {
    std::string data(size, '\0');
    uint32_t state = 99;
    for (char& c : data) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return data;
}

class ZipReaderTest : public ::testing::Test {
protected:
    std::string Write(const RawZip& zip) const {
        testing::WriteFileBytes(Path(), zip.Finish());
        return Path();
    }
    std::string Path() const { return temp / "archive.zip"; }

    // Extracts entry `index`, answering the data delivered; `error` gets the failure text.
    std::string Extract(TZipReader& reader, uint64_t index, bool& ok, std::string& error) {
        TZipEntry entry;
        std::string data;
        ok = reader.Entry(index, entry, error);
        if (!ok) return data;
        ok = reader.Extract(
            index, entry,
            [&data](const char* bytes, size_t size) {
                data.append(bytes, size);
                return std::string();
            },
            [&](uint64_t position, bool complete) { progress.emplace_back(position, complete); },
            error);
        return data;
    }

    TempFolder temp;
    std::vector<std::pair<uint64_t, bool>> progress;
};

TEST_F(ZipReaderTest, ReadsTheCentralDirectory) {
    RawZip zip;
    RawZip::Entry readOnly = StoredEntry("dos/read-only.txt", "hello");
    readOnly.externalAttributes = 0x21;
    readOnly.dosDate = static_cast<uint16_t>((2021 - 1980) << 9 | 7 << 5 | 14);
    readOnly.dosTime = static_cast<uint16_t>(13 << 11 | 45 << 5 | 58 / 2);
    zip.Add(readOnly);
    RawZip::Entry script = DeflatedEntry("bin/run.sh", "#!/bin/sh\necho hi\n");
    script.host = 3;
    script.externalAttributes = 0100755u << 16;
    zip.Add(script);
    RawZip::Entry folder = StoredEntry("bin/", "");
    folder.host = 3;
    folder.externalAttributes = 040755u << 16;
    zip.Add(folder);
    RawZip::Entry link = StoredEntry("link", "/etc/passwd");
    link.host = 3;
    link.externalAttributes = 0120777u << 16;
    zip.Add(link);
    RawZip::Entry legacy = StoredEntry("\x81" "ber.txt", "cp437");  // "über" in code page 437
    legacy.flags = 0;
    zip.Add(legacy);
    RawZip::Entry utf8 = StoredEntry("größe.txt", "utf8");
    zip.Add(utf8);
    RawZip::Entry unmarked = StoredEntry("größer.txt", "utf8, not marked");
    unmarked.flags = 0;
    zip.Add(unmarked);
    RawZip::Entry backslashes = StoredEntry("win\\sub\\", "");
    zip.Add(backslashes);
    RawZip::Entry encrypted = StoredEntry("secret.txt", "not really encrypted");
    encrypted.flags = 0x0801;
    zip.Add(encrypted);

    TZipReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(Write(zip), error)) << error;
    ASSERT_EQ(reader.Count(), 9u);
    std::vector<TZipEntry> entries(9);
    for (uint64_t i = 0; i < 9; ++i) ASSERT_TRUE(reader.Entry(i, entries[i], error)) << error;

    EXPECT_EQ(entries[0].Name, "dos/read-only.txt");
    EXPECT_EQ(entries[0].Size, 5u);
    EXPECT_EQ(entries[0].CompressedSize, 5u);
    EXPECT_EQ(entries[0].Crc, RawZip::Crc("hello"));
    EXPECT_EQ(entries[0].Method, TZipEntry::kMethodStored);
    EXPECT_EQ(entries[0].Host, TZipEntry::kHostMsDos);
    EXPECT_TRUE(entries[0].IsDosReadOnly());
    EXPECT_FALSE(entries[0].IsDirectory());
    EXPECT_EQ(entries[0].UnixMode(), 0u);
    EXPECT_FALSE(entries[0].Encrypted);
    // MS-DOS times are local times.
    struct tm local {};
    local.tm_year = 2021 - 1900;
    local.tm_mon = 6;
    local.tm_mday = 14;
    local.tm_hour = 13;
    local.tm_min = 45;
    local.tm_sec = 58;
    local.tm_isdst = -1;
    EXPECT_TRUE(entries[0].HasModTime);
    EXPECT_EQ(entries[0].ModTime, std::mktime(&local));

    EXPECT_EQ(entries[1].Method, TZipEntry::kMethodDeflated);
    EXPECT_EQ(entries[1].Size, 18u);
    EXPECT_EQ(entries[1].CompressedSize, script.data.size());
    EXPECT_EQ(entries[1].Host, TZipEntry::kHostUnix);
    EXPECT_EQ(entries[1].UnixMode(), 0100755u);
    EXPECT_FALSE(entries[1].IsSymlink());
    EXPECT_FALSE(entries[1].IsDosReadOnly());

    EXPECT_TRUE(entries[2].IsDirectory());
    EXPECT_FALSE(entries[2].IsSymlink());
    EXPECT_TRUE(entries[3].IsSymlink());
    EXPECT_EQ(entries[4].Name, "über.txt");
    EXPECT_EQ(entries[5].Name, "größe.txt");
    EXPECT_EQ(entries[6].Name, "größer.txt");
    EXPECT_EQ(entries[7].Name, "win\\sub\\");
    EXPECT_TRUE(entries[7].IsDirectory());
    EXPECT_TRUE(entries[8].Encrypted);

    EXPECT_EQ(reader.Count(), 9u);
}

TEST_F(ZipReaderTest, DeliversStoredAndDeflatedDataWithProgress) {
    const std::string noise = Noise(5 * TZipReader::kInputChunk / 2);
    RawZip zip;
    zip.Add(StoredEntry("stored.bin", noise));
    zip.Add(DeflatedEntry("deflated.bin", noise + std::string(300000, 'a')));
    zip.Add(StoredEntry("empty.txt", ""));
    TZipReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(Write(zip), error)) << error;

    bool ok = false;
    EXPECT_EQ(Extract(reader, 0, ok, error), noise);
    ASSERT_TRUE(ok) << error;
    // One report per chunk of input while data remain, then the final one.
    const uint64_t chunk = TZipReader::kInputChunk;
    EXPECT_THAT(progress, ::testing::ElementsAre(std::make_pair(chunk, false),
                                                 std::make_pair(2 * chunk, false),
                                                 std::make_pair(uint64_t{noise.size()}, true)));

    progress.clear();
    EXPECT_EQ(Extract(reader, 1, ok, error), noise + std::string(300000, 'a'));
    ASSERT_TRUE(ok) << error;
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(uint64_t{noise.size() + 300000}, true));

    progress.clear();
    EXPECT_EQ(Extract(reader, 2, ok, error), "");
    ASSERT_TRUE(ok) << error;
    EXPECT_THAT(progress, ::testing::ElementsAre(std::make_pair(uint64_t{0}, true)));

    // A writer's failure stops the entry with the writer's text.
    TZipEntry entry;
    ASSERT_TRUE(reader.Entry(0, entry, error));
    EXPECT_FALSE(reader.Extract(
        0, entry, [](const char*, size_t) { return std::string("disk full"); }, nullptr, error));
    EXPECT_EQ(error, "disk full");
}

TEST_F(ZipReaderTest, RefusesFilesThatAreNoArchive) {
    const struct {
        const char* label;
        const char* content;  // nullptr: no file
        const char* error;
    } cases[] = {
        {"missing", nullptr, "No such file"},
        {"empty", "", "Not a zip archive"},
        {"text", "this is not a zip archive, just text", "Not a zip archive"},
        {"local header only", "PK\x03\x04garbage", "Not a zip archive"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = temp / "not-a.zip";
        std::filesystem::remove(path);
        if (c.content) testing::WriteFileBytes(path, c.content);
        TZipReader reader;
        std::string error;
        EXPECT_FALSE(reader.Open(path, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(reader.Count(), 0u);
    }
}

TEST_F(ZipReaderTest, FailsDamagedEntriesWithTheReasonAfterDeliveringNoMoreThanDeclared) {
    const std::string text = "stored text that will be damaged";
    const std::string noise = Noise(100 * 1024);
    const std::string small = Noise(3000) + std::string(5000, 'x');
    const struct {
        const char* label;
        RawZip::Entry entry;
        std::function<void(RawZip::Entry&)> damage;
        const char* error;
    } cases[] = {
        {"stored, bad CRC", StoredEntry("e", text), [](RawZip::Entry& e) { e.crc ^= 1; },
         "CRC error"},
        {"stored, longer than declared", StoredEntry("e", text),
         [](RawZip::Entry& e) { e.size = 10; }, "Zip archive inconsistent"},
        {"stored, shorter than declared", StoredEntry("e", text),
         [](RawZip::Entry& e) { e.size += 1; }, "Zip archive inconsistent"},
        {"deflated, longer than declared", DeflatedEntry("e", noise),
         [](RawZip::Entry& e) { e.size = 1000; }, "Zip archive inconsistent"},
        {"deflated, shorter than declared", DeflatedEntry("e", noise),
         [](RawZip::Entry& e) { e.size += 1; }, "Zip archive inconsistent"},
        {"deflated, bad CRC", DeflatedEntry("e", noise), [](RawZip::Entry& e) { e.crc = 0x1234; },
         "CRC error"},
        {"deflated, stream cut short", DeflatedEntry("e", noise),
         [](RawZip::Entry& e) { e.data.resize(e.data.size() / 2); }, "Compressed data invalid"},
        // A small entry is inflated in one piece; its damage reads as that of a large one.
        {"small deflated, longer than declared", DeflatedEntry("e", small),
         [](RawZip::Entry& e) { e.size = 1000; }, "Zip archive inconsistent"},
        {"small deflated, shorter than declared", DeflatedEntry("e", small),
         [](RawZip::Entry& e) { e.size += 1; }, "Zip archive inconsistent"},
        {"small deflated, bad CRC", DeflatedEntry("e", small),
         [](RawZip::Entry& e) { e.crc ^= 0x80; }, "CRC error"},
        {"small deflated, stream cut short", DeflatedEntry("e", small),
         [](RawZip::Entry& e) { e.data.resize(e.data.size() / 2); }, "Compressed data invalid"},
        {"deflated, broken data", DeflatedEntry("e", std::string(50000, 'a')),
         [](RawZip::Entry& e) { e.data[0] = 0x07; }, "invalid block type"},
        {"unsupported method", StoredEntry("e", text), [](RawZip::Entry& e) { e.method = 14; },
         "Compression method not supported"},
        {"encrypted", StoredEntry("e", text), [](RawZip::Entry& e) { e.flags |= 1; },
         "Encryption method not supported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        RawZip::Entry entry = c.entry;
        c.damage(entry);
        RawZip zip;
        zip.Add(StoredEntry("ok.txt", "fine"));
        zip.Add(entry);
        TZipReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(Write(zip), error)) << error;
        bool ok = false;
        EXPECT_EQ(Extract(reader, 0, ok, error), "fine");
        EXPECT_TRUE(ok) << error;
        const std::string data = Extract(reader, 1, ok, error);
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, c.error);
        EXPECT_LE(data.size(), entry.size);
    }
}

TEST_F(ZipReaderTest, AnEntryWithoutItsLocalHeaderFailsAlone) {
    RawZip zip;
    zip.Add(StoredEntry("ok.txt", "fine"));
    RawZip::Entry nowhere = StoredEntry("nowhere.txt", "x");
    nowhere.headerOffset = 1;  // inside the first entry's header
    zip.AddListing(nowhere);
    TZipReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(Write(zip), error)) << error;
    bool ok = false;
    EXPECT_EQ(Extract(reader, 0, ok, error), "fine");
    EXPECT_TRUE(ok) << error;
    Extract(reader, 1, ok, error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "Invalid argument");
}

}  // namespace
}  // namespace ombrel
