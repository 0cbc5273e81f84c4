// The engine's runs where Windows differs from Linux: drive roots, names that differ only in
// case, separators, names that Windows cannot hold.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/engine/ombrel_test.h"

namespace ombrel {
namespace testing {
const char* const kCacheHomeVariable = "LOCALAPPDATA";
}  // namespace testing

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::Level;
using testing::N;

TEST_F(TOmbrelTest, DoomedNamesForTheFolderItselfAreDropped) {
    // An empty name or "." in either spelling would name the installation folder itself.
    InstallRelease1();
    api->answers["/api/update/version/Demo/1.0"] =
        R"({"version": "1.1", "doomed_files": ["", ".", ".\\", "./", "\\", "sub/b.txt"]})";
    Run();
    EXPECT_TRUE(fs::is_directory(Dest()));
    EXPECT_EQ(tmp.Read(Dest() + "\\Demo.exe"), "demo 1");
    EXPECT_FALSE(Exists(Dest() + "\\sub"));
    EXPECT_THAT(messages->Texts(Level::Warning),
                ElementsAre("doomed file  names the installation folder itself... ignored",
                            "doomed file . names the installation folder itself... ignored",
                            "doomed file .\\ names the installation folder itself... ignored",
                            "doomed file ./ names the installation folder itself... ignored",
                            "doomed file \\ is outside the installation folder... ignored"));
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("1 doomed files removed"));
}

TEST_F(TOmbrelTest, DoomedTopFoldersCompareAsTheFileSystemDoes) {
    // "x" and "X" are one folder here: it goes once, when both files are gone.
    InstallRelease1();
    tmp.Write("dest/x/1.txt", "1");
    tmp.Write("dest/X/2.txt", "2");
    api->answers["/api/update/version/Demo/1.0"] =
        R"({"version": "1.1", "doomed_files": ["x/1.txt", "X/2.txt"]})";
    Run();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("2 doomed files removed"));
    EXPECT_FALSE(Exists(Dest() + "\\x"));
}

TEST_F(TOmbrelTest, DoomedNamesClimbingWithBackslashesStayInside) {
    InstallRelease1();
    const std::string outside = tmp.Write("outside.txt", "keep");
    api->answers["/api/update/version/Demo/1.0"] = R"({"version": "1.1", "doomed_files": [
        "..\\outside.txt", "sub\\..\\..\\outside.txt", "sub/..\\../outside.txt"]})";
    Run();
    EXPECT_EQ(tmp.Read(outside), "keep");
    EXPECT_THAT(messages->Texts(Level::Warning),
                ElementsAre("doomed file ..\\outside.txt is outside the installation folder... ignored",
                            "doomed file sub\\..\\..\\outside.txt is outside the installation folder... ignored",
                            "doomed file sub/..\\../outside.txt is outside the installation folder... ignored"));
}

TEST_F(TOmbrelTest, DriveRootsAreRefusedAsInstallationFolder) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    Serve(1, {{"ombrel-unsafe-folder-test.txt", "x"}});
    for (const char* folder : {"C:\\", "C:/", "C:\\Windows\\.."}) {
        SCOPED_TRACE(folder);
        NextRun();
        options->iDestination = folder;
        Run();
        EXPECT_FALSE(success);
        EXPECT_THAT(messages->Texts(Level::Error),
                    ::testing::Contains(std::string("Zielpfad kann nicht benutzt werden: installation folder ") +
                                        folder + ": it is the root folder"));
        EXPECT_TRUE(api->calls.empty());
        EXPECT_FALSE(Exists("C:\\ombrel-unsafe-folder-test.txt"));
        EXPECT_FALSE(Exists("C:\\Demo.ombrel.lock"));
    }
}

TEST_F(TOmbrelTest, ArchiveNamesNoWindowsNameStopTheRunBeforeTheFolderChanges) {
    // Refused when unpacking: nothing of the package is left in the cache under a name that
    // Windows programs could not reach or delete.
    for (const char* name : {":files", "trail.txt ", "dot."}) {
        SCOPED_TRACE(name);
        NextRun();
        fs::remove_all(Dest());
        fs::remove_all(Cache());
        api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
            {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
        Serve(1, {{"Demo.exe", "demo"}, {name, "x"}});
        Run();
        EXPECT_THAT(messages->Texts(Level::Error),
                    ::testing::Contains(HasSubstr(std::string(": zip archive refused: ") + name +
                                                  " is no Windows file name")));
        EXPECT_FALSE(Exists(Dest() + "\\Demo.exe"));
        EXPECT_FALSE(Exists(Manifest()));
        EXPECT_FALSE(Exists(Cache() + "\\Demo.1.0"));
    }
}

}  // namespace
}  // namespace ombrel
