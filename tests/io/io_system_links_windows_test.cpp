// Links below an owned folder under Wine, made on the host (tests/io/make_link_fixture.sh):
// nothing outside the owned folder is read, written, renamed or deleted through them. Wine
// shows a link to a folder as a reparse point and a link to a file not at all (it opens it
// through), so the service has to tell them by where an opened handle leads.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "io/io_system.h"
#include "tests/io/zip_test_archive.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::CollectingMessages;
using testing::Level;

TEST(LinksMadeOnTheHost, LeadNowhereOutsideTheOwnedFolder) {
    const char* fixture = std::getenv("OMBREL_LINK_FIXTURE");
    if (fixture == nullptr) GTEST_SKIP() << "no link fixture (made by the suite's CTest setup)";
    const std::string root = fixture;
    const std::string owned = root + "\\owned";
    const std::string outside = root + "\\outside";
    auto messages = std::make_shared<CollectingMessages>();
    TIO io(messages);
    io.OwnFolder(owned);
    const std::string loop = "Too many levels of symbolic links";

    TStrings files;
    ASSERT_TRUE(io.GetFiles(owned, {"*"}, files)) << messages->Dump();
    for (const std::string& file : files) EXPECT_THAT(file, ::testing::Not(HasSubstr("victim")));
    EXPECT_FALSE(io.DirectoryExists(owned + "\\linkdir"));

    TStrings lines;
    EXPECT_FALSE(io.GetLines(owned + "\\linkdir\\victim.txt", lines));
    EXPECT_FALSE(io.GetLines(owned + "\\linkfile", lines));
    EXPECT_FALSE(io.ByteToFile(owned + "\\linkdir\\victim.txt", {'x'}));
    EXPECT_FALSE(io.Copyfile(owned + "\\linkfile", owned + "\\copy.txt"));
    THashList hashes;
    EXPECT_TRUE(io.GetFileHashList(owned, {"linkfile", "linkdir\\victim.txt"}, hashes));
    EXPECT_TRUE(hashes.empty());
    testing::WriteZip(root + "\\pkg.zip", {testing::Stored("linkdir/victim.txt", "owned")});
    EXPECT_FALSE(io.ExtractZipFile(root + "\\pkg.zip", owned));
    EXPECT_THAT(io.RenameEntry(owned + "\\linkdir\\victim.txt", owned + "\\stolen").message(),
                loop);
    EXPECT_THAT(io.RenameEntry(owned + "\\linkfile", owned + "\\stolen").message(), loop);
    EXPECT_THAT(io.RemoveTree(owned + "\\linkempty").message(), loop);
    EXPECT_THAT(io.RemoveTree(owned + "\\linkdir\\empty").message(), loop);
    EXPECT_FALSE(io.FileDelete(owned + "\\linkfile"));
    EXPECT_FALSE(io.FileDelete(owned + "\\linkdir\\victim.txt"));
    EXPECT_FALSE(io.DirectoryDeleteIfEmpty(owned + "\\linkempty"));
    for (const std::string& text : messages->Texts(Level::Error)) {
        EXPECT_THAT(text, ::testing::AnyOf(HasSubstr(loop), HasSubstr("symbolic link")));
    }

    EXPECT_EQ(testing::ReadFileBytes(outside + "\\victim.txt"), "precious");
    EXPECT_TRUE(std::filesystem::is_directory(outside + "\\empty"));
    EXPECT_FALSE(std::filesystem::exists(owned + "\\stolen"));
    EXPECT_FALSE(std::filesystem::exists(owned + "\\copy.txt"));
}

}  // namespace
}  // namespace ombrel
