#include "engine/copy_buffer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "io/paths.h"
#include "tests/engine/engine_fakes.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using testing::CollectingMessages;
using ::testing::ElementsAre;
using testing::FaultyIO;
using testing::Level;
using testing::TempFolder;
using ::testing::UnorderedElementsAre;
using testing::WriteFileBytes;
namespace fs = std::filesystem;

// A relative path ("sub/b.txt") as the platform writes it.
std::string N(std::string path) {
    std::replace(path.begin(), path.end(), '/', kPathSeparator);
    return path;
}

class TCopyBuffersTest : public ::testing::Test {
  protected:
    // An archive package whose unpacked folder holds the files.
    TPackage* Archive(const std::string& name, const std::vector<std::string>& files,
                      std::vector<std::string> masks = {"*"}) {
        auto p = std::make_unique<TPackage>();
        p->Name = name;
        p->Version = "1";
        p->Files = std::move(masks);
        for (const auto& f : files) WriteFileBytes(Temp() + "/" + name + ".1/" + f, f);
        packages.push_back(std::move(p));
        return packages.back().get();
    }
    TPackage* SingleFile(const std::string& name, const std::string& filename) {
        auto p = std::make_unique<TPackage>();
        p->Name = name;
        p->Version = "1";
        p->Filename = filename;
        p->Files = {"*"};
        packages.push_back(std::move(p));
        return packages.back().get();
    }

    std::string Temp() const { return tmp / "cache"; }
    std::string Dest() const { return tmp / "dest"; }
    bool Load() { return plan.Load(packages, Temp(), Dest()); }

    TempFolder tmp;
    std::shared_ptr<CollectingMessages> messages = std::make_shared<CollectingMessages>();
    std::shared_ptr<FaultyIO> io = std::make_shared<FaultyIO>(messages);
    std::vector<std::unique_ptr<TPackage>> packages;
    TCopyBuffers plan{io, messages};
};

TEST_F(TCopyBuffersTest, ArchivePackageMapsEveryListedFileIntoTheDestination) {
    Archive("Core", {"a.txt", "sub/b.txt"});
    ASSERT_TRUE(Load());
    ASSERT_EQ(plan.size(), 1u);
    std::vector<std::string> entries;
    for (const auto& f : plan[0].Files) {
        entries.push_back(f.PackageFile + "|" + plan[0].SourceOf(f) + "|" + plan[0].SinkOf(f));
    }
    EXPECT_THAT(entries,
                UnorderedElementsAre(
                    "a.txt|" + Temp() + N("/Core.1/a.txt|") + Dest() + N("/a.txt"),
                    N("sub/b.txt|") + Temp() + N("/Core.1/sub/b.txt|") + Dest() + N("/sub/b.txt")));

    ASSERT_TRUE(plan[0].CopyFiles());
    EXPECT_EQ(testing::ReadFileBytes(Dest() + "/sub/b.txt"), "sub/b.txt");
    EXPECT_THAT(plan[0].GetPackageFiles(), UnorderedElementsAre("a.txt", N("sub/b.txt")));
    std::vector<std::string> logs = messages->Texts(Level::Log);
    ASSERT_EQ(logs.size(), 3u);
    EXPECT_EQ(logs[0], "copy Core.1" + N("/*") + " to " + Dest() + " ...");
    // Each file is named as in the package, with the installation folder (not its full target).
    EXPECT_THAT(std::vector<std::string>(logs.begin() + 1, logs.end()),
                UnorderedElementsAre("copy a.txt to " + Dest(),
                                     "copy " + N("sub/b.txt") + " to " + Dest()));
    for (const auto& r : messages->reports) EXPECT_EQ(r.sender, "IO.CopyBuffer");
}

TEST_F(TCopyBuffersTest, MasksSelectFilesAndAnEmptyMaskListSelectsNone) {
    Archive("Core", {"a.txt", "b.dll", "sub/c.dll"}, {"*.dll", "sub/*"});
    Archive("Empty", {"x.txt"}, {});
    ASSERT_TRUE(Load());
    EXPECT_THAT(plan[0].GetPackageFiles(), UnorderedElementsAre("b.dll", N("sub/c.dll")));
    EXPECT_TRUE(plan[1].Files.empty());
}

TEST_F(TCopyBuffersTest, SingleFilePackageCopiesTheDownloadedFile) {
    // Recorded under the name it is installed as, so that a repair finds the file again.
    SingleFile("Tool", "bin\\tool.exe");
    WriteFileBytes(Temp() + "/Tool.1.tool.exe", "MZ");
    ASSERT_TRUE(Load());
    ASSERT_EQ(plan[0].Files.size(), 1u);
    EXPECT_EQ(plan[0].Files[0].PackageFile, N("bin/tool.exe"));
    EXPECT_EQ(plan[0].SourceOf(plan[0].Files[0]), Temp() + N("/Tool.1.tool.exe"));
    EXPECT_EQ(plan[0].SinkOf(plan[0].Files[0]), Dest() + N("/bin/tool.exe"));
    ASSERT_TRUE(plan[0].CopyFiles());
    EXPECT_THAT(messages->Texts(Level::Log),
                ElementsAre("copy " + N("bin/tool.exe") + " to " + Dest()));
    EXPECT_EQ(testing::ReadFileBytes(Dest() + "/bin/tool.exe"), "MZ");
}

TEST_F(TCopyBuffersTest, MissingFolderStopsLoadingAtThatPackage) {
    Archive("A", {"a.txt"});
    Archive("B", {});
    Archive("C", {"c.txt"});
    EXPECT_FALSE(Load());
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_EQ(plan[0].Files.size(), 1u);
    EXPECT_TRUE(plan[1].Files.empty());
    EXPECT_EQ(messages->Count(Level::Error), 1u);

    // A second Load keeps only its own result.
    packages.erase(packages.begin() + 1);
    EXPECT_TRUE(Load());
    EXPECT_EQ(plan.size(), 2u);
    EXPECT_EQ(plan[1].GetPackageFiles(), std::vector<std::string>{"c.txt"});
}

TEST_F(TCopyBuffersTest, TargetsOutsideTheDestinationAreRefused) {
    SingleFile("Evil", "../../outside.txt");
    WriteFileBytes(Temp() + "/outside.1.txt", "x");
    EXPECT_FALSE(Load());
    ASSERT_EQ(messages->Count(Level::Error), 1u);
    EXPECT_THAT(
        messages->Texts(Level::Error)[0],
        ::testing::StartsWith("file ../../outside.txt of package Evil cannot be installed"));
    EXPECT_TRUE(plan[0].Files.empty());
}

TEST_F(TCopyBuffersTest, NothingIsWrittenThroughALinkedFolderOfTheDestination) {
    Archive("Lib", {"ok.txt", "lnk/x.txt"});
    fs::create_directories(tmp / "outside");
    fs::create_directories(Dest());
    std::error_code linked;
    fs::create_directory_symlink(tmp / "outside", Dest() + "/lnk", linked);
    // Wine makes no links from inside.
    if (linked) GTEST_SKIP() << "no symbolic links here: " << linked.message();
    ASSERT_TRUE(Load()) << messages->Dump();
    EXPECT_FALSE(plan[0].CopyFiles());
    EXPECT_FALSE(fs::exists(tmp / "outside/x.txt"));
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("file lnk/x.txt of package Lib cannot be installed: "
                            "a folder on its way is a symbolic link"));
}

TEST_F(TCopyBuffersTest, FirstBlockedFileOfEachPackageIsReported) {
    Archive("A", {"a1.txt", "a2.txt"});
    Archive("B", {"b1.txt"});
    Archive("C", {"c1.txt"});
    ASSERT_TRUE(Load());
    io->fail = [](const std::string& op, const std::string& path) {
        return op == "CanFileBeOverwritten" && path.find(N("/c1.txt")) == std::string::npos;
    };
    EXPECT_FALSE(plan.CanFilesBeOverwritten());
    std::vector<std::string> errors = messages->Texts(Level::Error);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_THAT(errors[0], ::testing::AnyOf("file a1.txt cannot be overwritten",
                                            "file a2.txt cannot be overwritten"));
    EXPECT_EQ(errors[1], "file b1.txt cannot be overwritten");
    EXPECT_EQ(messages->Count(Level::Log), 2u) << "the service's own line per blocked file";
}

TEST_F(TCopyBuffersTest, NewTargetsNeverBlock) {
    Archive("A", {"a.txt"});
    ASSERT_TRUE(Load());
    EXPECT_TRUE(plan.CanFilesBeOverwritten());
    EXPECT_TRUE(messages->reports.empty());
}

TEST_F(TCopyBuffersTest, FailedCopyStopsThePackageAndKeepsWhatWasCopied) {
    TPackage* p = Archive("A", {});
    TCopyBuffer buffer(p, Dest(), io, messages);
    WriteFileBytes(Temp() + "/1", "1");
    WriteFileBytes(Temp() + "/3", "3");
    buffer.AddFile("1", Temp() + "/1", Dest() + "/1");
    buffer.AddFile("2", Temp() + "/missing", Dest() + "/2");
    buffer.AddFile("3", Temp() + "/3", Dest() + "/3");
    EXPECT_FALSE(buffer.CopyFiles());
    EXPECT_TRUE(std::filesystem::exists(Dest() + "/1"));
    EXPECT_FALSE(std::filesystem::exists(Dest() + "/3"));
    EXPECT_EQ(messages->Count(Level::Error), 1u);
}

}  // namespace
}  // namespace ombrel
