// The engine's runs where Linux has what Windows has not: owners and mode bits, links the test
// makes, and names that differ only in case.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/engine/ombrel_test.h"

namespace ombrel {
namespace testing {
const char* const kCacheHomeVariable = "XDG_CACHE_HOME";
}  // namespace testing

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::Level;
using testing::N;

TEST_F(TOmbrelTest, DoomedLinksLoseTheLinkOnly) {
    InstallRelease1();
    const std::string target = tmp.Write("target.txt", "keep");
    fs::create_directories(T("target-dir"));
    fs::create_symlink(target, Dest() + N("/file-link"));
    fs::create_symlink(T("target-dir"), Dest() + N("/dir-link"));
    fs::create_symlink(T("nothing"), Dest() + N("/dangling"));
    api->answers["/api/update/version/Demo/1.0"] =
        R"({"version": "1.1", "doomed_files": ["file-link", "dir-link", "dangling"]})";
    Run();
    EXPECT_EQ(messages->Count(Level::Warning), 0u) << messages->Dump();
    for (const char* link : {"file-link", "dir-link", "dangling"}) EXPECT_FALSE(Exists(Dest() + N("/") + link)) << link;
    EXPECT_EQ(tmp.Read("target.txt"), "keep");
    EXPECT_TRUE(fs::is_directory(T("target-dir")));
}

TEST_F(TOmbrelTest, DoomedEntriesAreNeverReachedThroughALinkedFolder) {
    InstallRelease1();
    const std::string victim = tmp.Write("outside/victim.txt", "keep");
    fs::create_directory_symlink(T("outside"), Dest() + N("/lnk"));
    api->answers["/api/update/version/Demo/1.0"] =
        R"({"version": "1.1", "doomed_files": ["lnk/victim.txt", "lnk\\victim.txt"]})";
    Run();
    EXPECT_EQ(tmp.Read(victim), "keep");
    EXPECT_THAT(messages->Texts(Level::Warning),
                ElementsAre("doomed file lnk/victim.txt is outside the installation folder... ignored",
                            "doomed file lnk\\victim.txt is outside the installation folder... ignored"));
    EXPECT_TRUE(fs::is_symlink(Dest() + N("/lnk")));
}

TEST_F(TOmbrelTest, DoomedNamesForTheFolderItselfAreDropped) {
    // The installation folder is a link here; an empty name or "." would otherwise name the
    // link itself and remove it.
    InstallRelease1();
    fs::rename(Dest(), T("real"));
    fs::create_directory_symlink(T("real"), Dest());
    api->answers["/api/update/version/Demo/1.0"] =
        R"({"version": "1.1", "doomed_files": ["", ".", "./", "\\", "sub/b.txt"]})";
    Run();
    EXPECT_TRUE(fs::is_symlink(Dest()));
    EXPECT_EQ(tmp.Read("real/Demo.exe"), "demo 1");
    EXPECT_FALSE(Exists(T("real/sub/b.txt")));
    EXPECT_THAT(messages->Texts(Level::Warning),
                ElementsAre("doomed file  names the installation folder itself... ignored",
                            "doomed file . names the installation folder itself... ignored",
                            "doomed file ./ names the installation folder itself... ignored",
                            "doomed file \\ is outside the installation folder... ignored"));
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("1 doomed files removed"));
}

TEST_F(TOmbrelTest, DoomedTopFoldersCompareAsTheFileSystemDoes) {
    // "x" and "X" are two folders here: both go once they are empty.
    InstallRelease1();
    tmp.Write("dest/x/1.txt", "1");
    tmp.Write("dest/X/2.txt", "2");
    api->answers["/api/update/version/Demo/1.0"] =
        R"({"version": "1.1", "doomed_files": ["x/1.txt", "X/2.txt"]})";
    Run();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    EXPECT_FALSE(Exists(Dest() + N("/x")));
    EXPECT_FALSE(Exists(Dest() + N("/X")));
}

TEST_F(TOmbrelTest, LinkAtTheLockFileIsNotFollowedAndOnlyWarnedAbout) {
    fs::create_directories(Dest());
    const std::string target = tmp.Write("elsewhere.txt", "keep");
    fs::create_symlink(target, Dest() + N("/Demo.ombrel.lock"));
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0"})";
    Run();
    EXPECT_TRUE(success);
    ASSERT_EQ(messages->Count(Level::Warning), 1u);
    EXPECT_THAT(messages->Texts(Level::Warning)[0],
                ::testing::StartsWith("could not lock installation folder " + Dest() + ": "));
    EXPECT_EQ(tmp.Read("elsewhere.txt"), "keep");
    EXPECT_TRUE(Exists(Manifest()));
}

TEST_F(TOmbrelTest, FoldersOthersMayChangeAreRefusedAsInstallationFolder) {
    struct Case {
        const char* name;
        std::function<std::string()> make;  // answers the folder
        const char* reason;
    } cases[] = {
        {"root", [] { return std::string("/"); }, "it is the root folder"},
        {"root by another name", [] { return std::string("/tmp/.."); }, "it is the root folder"},
        {"another user's",
         [this] {
             fs::create_directories(T("nobody"));
             EXPECT_EQ(chown((T("nobody")).c_str(), 65534, 65534), 0);
             return T("nobody");
         },
         "it belongs to another user"},
        {"writable by all",
         [this] {
             fs::create_directories(T("shared"));
             fs::permissions(T("shared"), fs::perms::all | fs::perms::sticky_bit);
             return T("shared");
         },
         "it is writable by other users"},
    };
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    // A name nobody else uses: "/" is shared with everything else on the machine.
    Serve(1, {{"ombrel-unsafe-folder-test.txt", "x"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NextRun();
        options->iDestination = c.make();
        Run();
        EXPECT_FALSE(success);
        // (The file system service may report its own refusal of a path with ".." first.)
        EXPECT_THAT(messages->Texts(Level::Error),
                    ::testing::Contains("Zielpfad kann nicht benutzt werden: installation folder " +
                                        *options->iDestination + ": " + c.reason));
        EXPECT_FALSE(success);
        EXPECT_TRUE(api->calls.empty());
        EXPECT_FALSE(Exists(*options->iDestination + "/Demo.ombrel.lock"));
        EXPECT_FALSE(Exists(*options->iDestination + "/Demo.ombrel.progress"));
        EXPECT_FALSE(Exists(*options->iDestination + "/ombrel-unsafe-folder-test.txt"));
    }
}

TEST_F(TOmbrelTest, CacheOthersMayChangeIsRefusedBeforeAnythingIsDownloaded) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    Serve(1, {{"Demo.exe", "demo 1"}});
    fs::create_directories(T("cache/ombrel"));
    fs::permissions(T("cache/ombrel"), fs::perms::all);
    Run();
    EXPECT_FALSE(success);
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("package cache " + (T("cache/ombrel")) +
                            " cannot be used: it is writable by other users"));
    EXPECT_THAT(api->calls, ElementsAre("GET /api/update/install/Demo"));
    EXPECT_FALSE(Exists(Cache() + N("/Demo.1.0.zip")));
    EXPECT_FALSE(Exists(Dest() + N("/Demo.exe")));

    // Once the folder is the user's alone again, the next run continues.
    NextRun();
    fs::permissions(T("cache/ombrel"), fs::perms::owner_all);
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
}

TEST_F(TOmbrelTest, ArchiveNamesNoWindowsNameStopTheRunBeforeTheFolderChanges) {
    // Linux unpacks them; the manifest cannot hold them.
    for (const char* name : {":files", "trail.txt "}) {
        SCOPED_TRACE(name);
        NextRun();
        fs::remove_all(Dest());
        fs::remove_all(Cache());
        api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
            {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
        Serve(1, {{"Demo.exe", "demo"}, {name, "x"}});
        Run();
        EXPECT_THAT(errorText, HasSubstr(std::string("file \"") + name +
                                         "\" of package Demo cannot be recorded in the manifest"));
        EXPECT_FALSE(Exists(Dest() + "/Demo.exe"));
        EXPECT_FALSE(Exists(Manifest()));
        EXPECT_TRUE(Exists(ProgressFile()));
    }
}

}  // namespace
}  // namespace ombrel
