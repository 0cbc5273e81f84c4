// TIO on real files, the same cases on every platform: hashing, text files, copying, folders.
// Paths are written with "/", which the service takes on Windows too; what a platform adds
// (links, modes, attributes, files held by other processes) is in io_system_files_posix_test.cpp
// and io_system_files_windows_test.cpp.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "io/io_system.h"
#include "tests/io/io_files_test.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Level;

using IoFilesTest = IoFilesFixture;

// ---- GetFileHashList ---------------------------------------------------------------------

TEST_F(IoFilesTest, HashesListedFilesAndSkipsMissingOnes) {
    temp.Write("abc.txt", "abc");
    temp.Write("sub/zero.bin", "");
    fs::create_directories(temp / "folder");
    THashList hashes{{"stale", "x"}};
    ASSERT_TRUE(io.GetFileHashList(temp.Path(),
                                   {"abc.txt", "missing.txt", "sub/zero.bin", "folder",
                                    "missing/deeper.txt"},
                                   hashes));
    EXPECT_THAT(hashes, ElementsAre(std::pair<std::string, std::string>(
                                        "abc.txt", "900150983cd24fb0d6963f7d28e17f72"),
                                    std::pair<std::string, std::string>(
                                        "sub/zero.bin", "d41d8cd98f00b204e9800998ecf8427e")));
    EXPECT_THAT(messages->reports, IsEmpty()) << ErrorsDump();
}

// ---- Text files --------------------------------------------------------------------------

TEST_F(IoFilesTest, SetLinesWritesBomAndCrLfAfterEveryLine) {
    const struct {
        TStrings lines;
        std::string bytes;
    } cases[] = {
        {{}, "\xEF\xBB\xBF"},
        {{""}, "\xEF\xBB\xBF\r\n"},
        {{"a", "", "größe"}, "\xEF\xBB\xBF" "a\r\n\r\ngr\xC3\xB6\xC3\x9F" "e\r\n"},
    };
    for (const auto& c : cases) {
        const std::string path = temp / "lines.txt";
        ASSERT_TRUE(io.SetLines(path, c.lines)) << ErrorsDump();
        EXPECT_EQ(temp.Read("lines.txt"), c.bytes);
        TStrings back{"stale"};
        ASSERT_TRUE(io.GetLines(path, back));
        EXPECT_EQ(back, c.lines);
    }
    EXPECT_THAT(messages->reports, IsEmpty());
}

TEST_F(IoFilesTest, GetLinesEndsLinesAtCrLfCrOrLf) {
    const struct {
        std::string bytes;
        TStrings lines;
    } cases[] = {
        {"", {}},
        {"\xEF\xBB\xBF", {}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb\nc", {"a", "b", "c"}},
        {"a\n\nb\n", {"a", "", "b"}},
        {"\r\n", {""}},
        {"\n\r", {"", ""}},
        {"a\r\r\nb", {"a", "", "b"}},
        {"\xEF\xBB\xBFx\r\ny", {"x", "y"}},
        {"x\xEF\xBB\xBF", {"x\xEF\xBB\xBF"}},             // a BOM only counts at the start
        {"\xEF\xBB\xBF\xEF\xBB\xBFx", {"\xEF\xBB\xBFx"}},  // and only once
        {"a\xFF" "b\r\n\xC3", {"a\xEF\xBF\xBD" "b", "\xEF\xBF\xBD"}},  // invalid bytes: U+FFFD
        {"ü€😀\n", {"ü€😀"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        temp.Write("in.txt", c.bytes);
        TStrings lines{"stale"};
        ASSERT_TRUE(io.GetLines(temp / "in.txt", lines));
        EXPECT_EQ(lines, c.lines);
    }
}

TEST_F(IoFilesTest, GetLinesOfAMissingFileFails) {
    TStrings lines{"stale"};
    EXPECT_FALSE(io.GetLines(temp / "missing.txt", lines));
    EXPECT_THAT(lines, IsEmpty());
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("cannot read \"" + temp / "missing.txt" + "\": No such file or directory"));
    EXPECT_EQ(messages->reports[0].sender, "TIO");
}

TEST_F(IoFilesTest, FailedWritesReportAndLeaveNothingBehind) {
    fs::create_directories(temp / "occupied");
    temp.Write("occupied/inside.txt", "x");
    const struct {
        const char* label;
        std::string path;
        const char* text;
    } cases[] = {
        {"missing folder", temp / "missing/file.txt", "No such file or directory"},
        {"a folder in the way", temp / "occupied", "Is a directory"},
        {"a file as folder", temp / "occupied/inside.txt/x", "Not a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        messages->reports.clear();
        EXPECT_FALSE(io.SetLines(c.path, {"a"}));
        EXPECT_FALSE(io.ByteToFile(c.path, {'a'}));
        const std::string text = "cannot write \"" + c.path + "\": " + c.text;
        EXPECT_THAT(messages->Texts(Level::Error), ElementsAre(text, text));
    }
    EXPECT_FALSE(fs::exists(temp / "missing"));
    EXPECT_THAT(TempLeftovers(temp.Path()), IsEmpty());
    EXPECT_THAT(TempLeftovers(temp / "occupied"), IsEmpty());
}

TEST_F(IoFilesTest, AppendLineAddsToAnExistingFileOnly) {
    const std::string path = temp.Write("log.txt", "one\ntwo");
    ASSERT_TRUE(io.AppendLine(path, "three"));
    EXPECT_EQ(temp.Read("log.txt"), "\xEF\xBB\xBFone\r\ntwo\r\nthree\r\n");

    EXPECT_FALSE(io.AppendLine(temp / "missing.txt", "x"));
    EXPECT_FALSE(fs::exists(temp / "missing.txt"));
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("cannot read \"" + temp / "missing.txt" + "\": No such file or directory"));
}

// ---- FileDelete, FileExists, DirectoryExists ---------------------------------------------

TEST_F(IoFilesTest, FileDeleteRemovesFilesOnly) {
    const std::string file = temp.Write("a.txt", "a");
    fs::create_directories(temp / "folder");

    EXPECT_TRUE(io.FileDelete(file));
    EXPECT_FALSE(fs::exists(file));
    EXPECT_THAT(messages->reports, IsEmpty());

    EXPECT_FALSE(io.FileDelete(file));
    EXPECT_FALSE(io.FileDelete(temp / "missing/a.txt"));
    EXPECT_FALSE(io.FileDelete(temp / "folder"));
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("cannot delete \"" + file + "\": No such file or directory",
                            "cannot delete \"" + temp / "missing/a.txt" +
                                "\": No such file or directory",
                            "cannot delete \"" + temp / "folder" + "\": Is a directory"));
    EXPECT_TRUE(fs::is_directory(temp / "folder"));
}

TEST_F(IoFilesTest, ExistenceTests) {
    temp.Write("file", "x");
    fs::create_directories(temp / "folder");
    ExpectExistence({
        {temp / "file", true, false},
        {temp / "folder", false, true},
        {temp / "missing", false, false},
        {temp / "file/below", false, false},
        {temp / "missing/below", false, false},
        {"", false, false},
    });
}

// ---- RenameEntry, RemoveTree -------------------------------------------------------------

TEST_F(IoFilesTest, RenameAndRemoveTreeBelowAnOwnedFolder) {
    temp.Write("owned/dir/a.part", "a");
    temp.Write("owned/dir/tree/b.txt", "b");
    temp.Write("owned/dir/tree/deeper/c.txt", "c");
    io.OwnFolder(temp / "owned");

    // Both answer the system's reason: an empty error code is success.
    EXPECT_FALSE(io.RenameEntry(temp / "owned/dir/a.part", temp / "owned/dir/a.zip"));
    EXPECT_EQ(temp.Read("owned/dir/a.zip"), "a");
    EXPECT_FALSE(io.RemoveTree(temp / "owned/dir/tree"));
    EXPECT_FALSE(fs::exists(temp / "owned/dir/tree"));
    EXPECT_FALSE(io.RemoveTree(temp / "owned/dir/missing"));
    EXPECT_EQ(io.RenameEntry(temp / "owned/dir/missing", temp / "owned/dir/x"),
              std::errc::no_such_file_or_directory);
    // Below an owned folder ".." leads nowhere.
    EXPECT_TRUE(io.RenameEntry(temp / "owned/dir/../dir/a.zip", temp / "owned/dir/b.zip"));
    EXPECT_EQ(temp.Read("owned/dir/a.zip"), "a");
    EXPECT_THAT(messages->reports, IsEmpty());
}

// ---- Copyfile, folders -------------------------------------------------------------------

TEST_F(IoFilesTest, CopyfileFailures) {
    temp.Write("file", "x");
    fs::create_directories(temp / "folder");
    const struct {
        const char* label;
        std::string source;
        std::string target;
        const char* text;
    } cases[] = {
        {"missing source", temp / "missing", temp / "out/copy", "No such file or directory"},
        {"folder as source", temp / "folder", temp / "out/copy", "Is a directory"},
        {"folder cannot be made", temp / "file", temp / "file/sub/copy", "Not a directory"},
        {"folder at the target", temp / "file", temp / "folder", "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        messages->reports.clear();
        EXPECT_FALSE(io.Copyfile(c.source, c.target));
        EXPECT_THAT(messages->Texts(Level::Error),
                    ElementsAre("cannot copy \"" + c.source + "\" to \"" + c.target + "\": " + c.text));
    }
    EXPECT_FALSE(fs::exists(temp / "out/copy"));
    EXPECT_THAT(TempLeftovers(temp / "folder"), IsEmpty());
    EXPECT_THAT(TempLeftovers(temp.Path()), IsEmpty());
}

TEST_F(IoFilesTest, ForceDirectoryCreatesMissingLevels) {
    EXPECT_TRUE(io.ForceDirectory(temp.Path()));
    EXPECT_TRUE(io.ForceDirectory(temp / "one/two"));
    EXPECT_TRUE(fs::is_directory(temp / "one/two"));
    EXPECT_THAT(messages->reports, IsEmpty());

    temp.Write("file", "x");
    EXPECT_FALSE(io.ForceDirectory(temp / "file/sub"));
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("cannot create folder \"" + temp / "file/sub" + "\": Not a directory"));
}

TEST_F(IoFilesTest, DirectoryDeleteIfEmptyRemovesEmptyTreesBottomUp) {
    fs::create_directories(temp / "empty/a/b/c");
    fs::create_directories(temp / "empty/d");
    EXPECT_TRUE(io.DirectoryDeleteIfEmpty(temp / "empty"));
    EXPECT_FALSE(fs::exists(temp / "empty"));

    fs::create_directories(temp / "kept/side/x");
    fs::create_directories(temp / "kept/way/empty");
    temp.Write("kept/way/to/.file", "hidden files count");
    EXPECT_FALSE(io.DirectoryDeleteIfEmpty(temp / "kept"));
    EXPECT_FALSE(fs::exists(temp / "kept/side"));
    EXPECT_FALSE(fs::exists(temp / "kept/way/empty"));
    EXPECT_TRUE(fs::exists(temp / "kept/way/to/.file"));
    EXPECT_THAT(messages->reports, IsEmpty());
    EXPECT_THROW(io.DirectoryDeleteIfEmpty(temp / "missing"), std::system_error);
}

}  // namespace
}  // namespace ombrel
