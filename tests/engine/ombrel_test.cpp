// The engine's runs, as every platform runs them. Cases about what one platform alone has
// (owners and modes, links made by the test) are in ombrel_posix_test.cpp and
// ombrel_windows_test.cpp.
#include "engine/ombrel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/command_line_options.h"
#include "ombrel/build_config.h"
#include "platform/file_lock.h"
#include "tests/engine/engine_fakes.h"
#include "tests/engine/ombrel_test.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::CollectingMessages;
using testing::FakeApiClient;
using testing::FaultyIO;
using testing::Level;
using testing::TempFolder;
using testing::kBom;
using testing::N;
using testing::ZipBytes;


// ---------------------------------------------------------------------------------------------
// Checks before a run

TEST_F(TOmbrelTest, FailedChecksReportOneErrorAndTouchNothing) {
    struct Case {
        const char* name;
        std::function<void(TCommandLineOptions&)> set;
        const char* error;
    } cases[] = {
        {"no credential",
         [](auto& o) { o.iApiKey = " \t"; o.iUserAuth = ""; o.iCustomerAuth = " "; },
         "Authentifizierung leer"},
        {"no project", [](auto& o) { o.iAppName = ""; }, "Projekt oder Package ist leer"},
        {"blank destination", [](auto& o) { o.iAppName = "  "; o.iDestination = "  "; },
         "Zielpfad ist leer"},
        {"destination below a file",
         [this](auto& o) { o.iDestination = tmp.Write("file", "x") + "/dest"; },
         "Zielpfad kann nicht benutzt werden"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        options = std::make_shared<TCommandLineOptions>();
        options->iAppName = "Demo";
        options->iDestination = Dest();
        c.set(*options);
        messages->reports.clear();
        Run();
        EXPECT_FALSE(success);
        EXPECT_EQ(errorText, std::string(c.error) + "\r\n");
        EXPECT_EQ(messages->Texts(Level::Error).back(), c.error);
        EXPECT_EQ(messages->Count(Level::Progress), 0u);
        EXPECT_TRUE(api->calls.empty());
        EXPECT_FALSE(Exists(Dest()));
    }
}

TEST_F(TOmbrelTest, CredentialsAreEnoughWhenAnyOneIsSet) {
    options->iApiKey = "";
    options->iCustomerAuth = "c-1";
    options->iInfo = true;
    options->iPackageName = "P";
    api->answers["/api/package/info/P"] = "[]";
    Run();
    EXPECT_TRUE(success) << messages->Dump();
}

// ---------------------------------------------------------------------------------------------
// Info mode

TEST_F(TOmbrelTest, InfoListsPackagesWithoutLookingAtTheFolder) {
    options->iInfo = true;
    options->iPackageName = "Lib";
    api->answers["/api/package/info/Lib"] =
        R"([{"id": 1, "name": "Lib", "version": "1.0"}, {"id": 2, "name": "Lib", "version": "1.1"}])";
    Run();
    EXPECT_TRUE(success);
    EXPECT_THAT(Story(), ElementsAre("log|TOmbrel|requesting package information from "
                                     "http://updates.test:8080 for Lib ...",
                                     "log|TOmbrel|Lib 1.0", "log|TOmbrel|Lib 1.1"));
    EXPECT_FALSE(Exists(Dest()));
}

TEST_F(TOmbrelTest, InfoWithUnreadableAnswerListsWhatWasReadAndFails) {
    options->iInfo = true;
    options->iPackageName = "Lib";
    api->answers["/api/package/info/Lib"] = R"([{"name": "Lib", "version": "1.0"}, 7])";
    Run();
    EXPECT_FALSE(success);
    std::vector<std::string> story = Story();
    ASSERT_EQ(story.size(), 3u);
    EXPECT_THAT(story[1], HasSubstr("error|TOmbrel|bad package information data for Lib: "));
    EXPECT_EQ(story[2], "log|TOmbrel|Lib 1.0");

    NextRun();
    api->answers["/api/package/info/Lib"] = "{}";
    Run();
    EXPECT_EQ(messages->Count(Level::Error), 1u);
}

// ---------------------------------------------------------------------------------------------
// Application runs

TEST_F(TOmbrelTest, FreshInstallTellsEveryStepAndRecordsTheManifest) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]},
        {"id": 2, "name": "Lib", "version": "2.0", "files": ["*"]}]})";
    Serve(1, {{"Demo.exe", "demo 1"}});
    Serve(2, {{"lib/core.so", "core 2"}});
    Run();

    EXPECT_TRUE(success);
    const std::string c = Cache();
    const std::string d = Dest();
    EXPECT_THAT(
        Story(),
        ElementsAre(
            "progress|Start|0", "log|TOmbrel|mode: install", "log|TOmbrel|version: highest",
            "log|TOmbrel|requesting version informations from http://updates.test:8080 ...",
            "log|TOmbrel|done", "debug|TOmbrel|creating temp path: " + c + " ...",
            "debug|TOmbrel|done",
            "progress|download Demo.1.0.zip|0", "log|TOmbrel|download Demo.1.0.zip",
            "log|TOmbrel|done", "log|TOmbrel|store Demo.1.0.zip > " + c + N("/Demo.1.0.zip"),
            "progress|download Demo.1.0.zip|100",
            "progress|extract " + c + N("/Demo.1.0.zip|0"),
            "log|TOmbrel|extracting " + c + N("/Demo.1.0.zip to ") + c + N("/Demo.1.0"),
            "log|TOmbrel|done", "progress|extract " + c + N("/Demo.1.0.zip|100"),
            "progress|download Lib.2.0.zip|0", "log|TOmbrel|download Lib.2.0.zip",
            "log|TOmbrel|done", "log|TOmbrel|store Lib.2.0.zip > " + c + N("/Lib.2.0.zip"),
            "progress|download Lib.2.0.zip|100",
            "progress|extract " + c + N("/Lib.2.0.zip|0"),
            "log|TOmbrel|extracting " + c + N("/Lib.2.0.zip to ") + c + N("/Lib.2.0"),
            "log|TOmbrel|done", "progress|extract " + c + N("/Lib.2.0.zip|100"),
            "log|TOmbrel|prepare copy ...", "log|TOmbrel|test for open handles ...",
            "progress|copy|0", "progress|copy|50",
            "log|IO.CopyBuffer|copy Demo.1.0" + N("/*") + " to " + d + " ...",
            "log|IO.CopyBuffer|copy Demo.exe to " + d, "progress|copy|100",
            "log|IO.CopyBuffer|copy Lib.2.0" + N("/*") + " to " + d + " ...",
            "log|IO.CopyBuffer|copy " + N("lib/core.so") + " to " + d, "progress|copy|100",
            "progress|Finished|100"));

    // Between the extract captions, one caption per entry, naming where it is unpacked to.
    std::vector<std::string> entries;
    for (const auto& r : messages->reports) {
        if (r.level == Level::Progress && r.text.rfind(c + N("/"), 0) == 0) {
            entries.push_back(r.text + "|" + std::to_string(r.percent));
        }
    }
    EXPECT_THAT(entries, ElementsAre(c + N("/Demo.1.0/Demo.exe|100"), c + N("/Lib.2.0/lib/core.so|100")));

    EXPECT_EQ(tmp.Read(Manifest()), std::string(kBom) +
                                        ":app Demo\r\n\r\n:version 1.0\r\n\r\n"
                                        ":packages\r\nDemo 1.0\r\nLib 2.0\r\n\r\n"
                                        ":files\r\nDemo.exe\r\n" + N("lib/core.so") + "\r\n\r\n");
    EXPECT_EQ(tmp.Read(d + N("/Demo.exe")), "demo 1");
    EXPECT_EQ(tmp.Read(d + N("/lib/core.so")), "core 2");
    EXPECT_FALSE(Exists(ProgressFile()));
    EXPECT_FALSE(Exists(d + N("/Demo.ombrel.lock")));
    EXPECT_EQ(tmp.Read(c + N("/Demo.1.0/Demo.exe")), "demo 1");
    EXPECT_TRUE(Exists(c + N("/Lib.2.0.zip")));
    EXPECT_FALSE(Exists(c + N("/Lib.2.0.zip.part")));
    EXPECT_FALSE(Exists(c + N("/Lib.2.0.part")));
}

TEST_F(TOmbrelTest, SecondRunUsesTheCacheAndUpdatesWithNothingToDo) {
    InstallRelease1();
    api->answers["/api/update/version/Demo/1.0"] = R"({"version": "1.0"})";
    Run();
    EXPECT_TRUE(success);
    EXPECT_THAT(api->calls, ElementsAre("GET /api/update/version/Demo/1.0"));
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("all fine"));
    EXPECT_FALSE(Exists(ProgressFile()));

    // A version already in the cache is neither downloaded nor unpacked again.
    NextRun();
    fs::remove_all(Dest());
    Run();
    EXPECT_THAT(api->calls, ElementsAre("GET /api/update/install/Demo"));
    for (const auto& r : messages->reports) {
        EXPECT_NE(r.text.rfind("download ", 0), 0u) << r.text;
        EXPECT_NE(r.text.rfind("extract", 0), 0u) << r.text;
    }
    EXPECT_EQ(tmp.Read(Dest() + N("/sub/b.txt")), "b");
}

TEST_F(TOmbrelTest, UpdateRemovesDoomedFilesAndPackagesInsideTheFolderOnly) {
    InstallRelease1();
    const std::string outside = tmp.Write("outside.txt", "keep");
    api->answers["/api/update/version/Demo/1.0"] = R"({"version": "1.1", "packages": [
        {"id": 3, "name": "Demo", "version": "1.1", "files": ["*"]}],
        "doomed_packages": ["Lib"],
        "doomed_files": ["sub\\b.txt", "lib/core.so", "gone.txt", ")" + testing::JsonEscaped(outside) + R"(",
                         "../outside.txt", "sub/../../outside.txt"]})";
    Serve(3, {{"Demo.exe", "demo 1.1"}});
    Run();

    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_EQ(tmp.Read(outside), "keep");
    EXPECT_FALSE(Exists(Dest() + N("/sub")));
    EXPECT_FALSE(Exists(Dest() + N("/lib")));
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1.1");
    EXPECT_THAT(messages->Texts(Level::Warning),
                ElementsAre("hmm, file gone.txt does not exists?",
                            "doomed file " + outside + " is outside the installation folder... ignored",
                            "doomed file ../outside.txt is outside the installation folder... ignored",
                            "doomed file sub/../../outside.txt is outside the installation folder... ignored"));
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("2 doomed files removed"));
    // Files leave the manifest whichever separator the server uses.
    EXPECT_EQ(tmp.Read(Manifest()), std::string(kBom) +
                                        ":app Demo\r\n\r\n:version 1.1\r\n\r\n"
                                        ":packages\r\nDemo 1.1\r\n\r\n"
                                        ":files\r\nDemo.exe\r\n\r\n");
}

TEST_F(TOmbrelTest, DoomedFileThatCannotBeDeletedStaysInTheSavedPlan) {
    InstallRelease1();
    api->answers["/api/update/version/Demo/1.0"] =
        R"({"version": "1.1", "doomed_files": ["Demo.exe", "sub/b.txt"]})";
    io->fail = [](const std::string& op, const std::string& path) {
        return op == "FileDelete" && path.find("Demo.exe") != std::string::npos;
    };
    Run();
    EXPECT_THAT(messages->Texts(Level::Warning), ElementsAre("could not remove all doomed files"));
    EXPECT_TRUE(Exists(Dest() + N("/Demo.exe")));
    EXPECT_FALSE(Exists(Dest() + N("/sub")));
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("1 doomed files removed"));
    for (const auto& r : messages->reports) {
        EXPECT_NE(r.text, "prepare copy ...");
        EXPECT_NE(r.text, "copy");
    }
    // The deletion that was done is recorded; the one that failed stays in the plan, so the run
    // is not complete and the next one tries again.
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr(":files\r\nDemo.exe\r\n" + N("lib/core.so") + "\r\n\r\n"));
    EXPECT_THAT(tmp.Read(ProgressFile()), HasSubstr("\"doomed_files\": [\r\n        \"Demo.exe\"\r\n    ]"));
    EXPECT_THAT(tmp.Read(ProgressFile()), ::testing::Not(HasSubstr("sub/b.txt")));

    NextRun();
    io->fail = nullptr;
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_FALSE(Exists(Dest() + N("/Demo.exe")));
    EXPECT_FALSE(Exists(ProgressFile()));
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr(":version 1.1\r\n"));
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr(":files\r\n" + N("lib/core.so") + "\r\n\r\n"));
}

TEST_F(TOmbrelTest, UpdateChannelForcesTheInstalledVersionWhenNothingIsToDo) {
    InstallRelease1();
    options->iUpdateChannel = "beta";
    api->answers["/api/update/version/Demo/1.0"] = R"({"version": "1.0"})";
    api->answers["/api/update/force/Demo/1.0"] = R"({"version": "1.0-beta", "packages": [
        {"id": 4, "name": "Lib", "version": "2.1-beta", "files": ["*"]}]})";
    Serve(4, {{"lib/core.so", "core beta"}});
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_THAT(api->calls, ElementsAre("GET /api/update/version/Demo/1.0",
                                        "POST /api/update/force/Demo/1.0",
                                        "GET /api/package/download/4"));
    EXPECT_EQ(api->forcedPackages.size(), 2u);
    EXPECT_THAT(messages->Texts(Level::Log),
                ::testing::Contains("forcing version 1.0 for update-channel option beta"));
    EXPECT_EQ(tmp.Read(Dest() + N("/lib/core.so")), "core beta");

    // When the plain answer has work, no second request is made.
    NextRun();
    api->answers["/api/update/version/Demo/1.0-beta"] = R"({"version": "1.1", "packages": [
        {"id": 3, "name": "Demo", "version": "1.1", "files": ["*"]}]})";
    Serve(3, {{"Demo.exe", "demo 1.1"}});
    Run();
    EXPECT_THAT(api->calls, ElementsAre("GET /api/update/version/Demo/1.0-beta",
                                        "GET /api/package/download/3"));
}

TEST_F(TOmbrelTest, ForceAndInstallOfAGivenVersion) {
    options->iVersion = "0.9";
    api->answers["/api/update/install/Demo/0.9"] =
        R"({"version": "0.9", "packages": [{"id": 9, "name": "Demo", "version": "0.9", "files": ["*"]}]})";
    Serve(9, {{"Demo.exe", "demo 0.9"}});
    Run();
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::IsSupersetOf({"mode: install", "version: 0.9"}));
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 0.9");

    NextRun();
    options->iVersion = "1.0";
    api->answers["/api/update/force/Demo/1.0"] =
        R"({"version": "1.0", "packages": [{"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    Serve(1, {{"Demo.exe", "demo 1"}});
    Run();
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("mode: force version 1.0"));
    ASSERT_EQ(api->forcedPackages.size(), 1u);
    EXPECT_EQ(api->forcedPackages[0].Version, "0.9");
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr(":version 1.0\r\n"));
}

TEST_F(TOmbrelTest, RepairSendsHashesOfTheRecordedFiles) {
    InstallRelease1();
    testing::WriteFileBytes(Dest() + N("/sub/b.txt"), "changed");
    fs::remove(Dest() + N("/Demo.exe"));
    options->iRepair = true;
    options->iVersion = "7";
    api->answers["/api/update/repair/Demo/1.0"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_THAT(messages->Texts(Level::Warning), ElementsAre("version found for mode repair... ignored"));
    using Hash = THashList::value_type;
    EXPECT_THAT(api->repairHashes,
                ::testing::UnorderedElementsAre(Hash(N("sub/b.txt"), "8977dfac2f8e04cb96e66882235f5aba"),
                                                Hash(N("lib/core.so"), "f8402df33b3271450a55dcae06a922c3")));
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
    EXPECT_EQ(tmp.Read(Dest() + N("/sub/b.txt")), "b");
}

TEST_F(TOmbrelTest, RepairHashesOnlyFilesInsideTheFolder) {
    InstallRelease1();
    const std::string outside = tmp.Write("outside.txt", "secret");
    std::string manifest = tmp.Read(Manifest());
    manifest.insert(manifest.find("Demo.exe\r\n"), outside + "\r\n../outside.txt\r\n");
    testing::WriteFileBytes(Manifest(), manifest);
    options->iRepair = true;
    api->answers["/api/update/repair/Demo/1.0"] = R"({"version": "1.0"})";
    Run();
    for (const auto& [name, hash] : api->repairHashes) {
        EXPECT_NE(name, outside);
        EXPECT_NE(name, "../outside.txt");
    }
    // Such a manifest is damaged: the repair installs the application again instead.
    EXPECT_THAT(messages->Texts(Level::Warning),
                ::testing::Contains(::testing::HasSubstr("is damaged (it names the file " + outside +
                                                         " outside the installation folder)")));
    EXPECT_EQ(tmp.Read(outside), "secret");
}

TEST_F(TOmbrelTest, RepairWithoutManifestFails) {
    options->iRepair = true;
    Run();
    EXPECT_FALSE(success);
    EXPECT_EQ(errorText, "no ombrelfile for mode repair\r\n");
    EXPECT_TRUE(api->calls.empty());
    EXPECT_EQ(Story().back(), "progress|Finished|100");
}

TEST_F(TOmbrelTest, DependenciesOnlyLeavesTheApplicationPackageOut) {
    options->iDependenciesOnly = true;
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]},
        {"id": 2, "name": "Lib", "version": "2.0", "files": ["*"]}]})";
    Serve(2, {{"lib/core.so", "core 2"}});
    intercept = [this] {
        EXPECT_THAT(tmp.Read(ProgressFile()), ::testing::Not(HasSubstr("\"Demo\"")));
        return false;
    };
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("dependencies only"));
    EXPECT_FALSE(Exists(Dest() + N("/Demo.exe")));
    EXPECT_EQ(tmp.Read(Dest() + N("/lib/core.so")), "core 2");
}

TEST_F(TOmbrelTest, InterceptStopsBeforeTheFolderChangesAndTheNextRunContinues) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    Serve(1, {{"Demo.exe", "demo 1"}});
    intercept = [] { return true; };
    Run();
    EXPECT_TRUE(success);
    EXPECT_FALSE(Exists(Dest() + N("/Demo.exe")));
    EXPECT_FALSE(Exists(Manifest()));
    EXPECT_TRUE(Exists(ProgressFile()));
    EXPECT_TRUE(Exists(Cache() + N("/Demo.1.0/Demo.exe")));

    NextRun();
    intercept = nullptr;
    Run();
    EXPECT_TRUE(success);
    EXPECT_TRUE(api->calls.empty()) << "continued from the progress file and the cache";
    EXPECT_THAT(messages->Texts(Level::Log),
                ::testing::IsSupersetOf(std::vector<std::string>{"progressfile " + ProgressFile() + " found",
                                                                 "mode: continue"}));
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
    EXPECT_FALSE(Exists(ProgressFile()));
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr(":packages\r\nDemo 1.0\r\n"));
}

TEST_F(TOmbrelTest, ProgressOfAnotherVersionIsDiscarded) {
    testing::WriteFileBytes(ProgressFile(), R"({"version": "1.0", "packages": [{"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})");
    options->iVersion = "2.0";
    api->answers["/api/update/install/Demo/2.0"] = R"({"version": "2.0"})";
    Run();
    EXPECT_THAT(messages->Texts(Level::Log),
                ::testing::IsSupersetOf({"progress doesn't fit. ...discarded", "mode: install", "all fine"}));
    EXPECT_THAT(api->calls, ElementsAre("GET /api/update/install/Demo/2.0"));
    EXPECT_FALSE(Exists(ProgressFile()));
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr(":version 2.0\r\n"));
}

TEST_F(TOmbrelTest, ServerFailureEndsWithoutPlanAndWithoutEngineError) {
    Run();
    EXPECT_TRUE(success);
    EXPECT_EQ(messages->Count(Level::Error), 1u);
    EXPECT_EQ(Story().back(), "progress|Finished|100");
    EXPECT_FALSE(Exists(ProgressFile()));
    EXPECT_FALSE(Exists(Manifest()));
}

TEST_F(TOmbrelTest, FailedDownloadStopsTheDownloadsAndLeavesNoPackageBehind) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "A", "version": "1", "files": ["*"]},
        {"id": 2, "name": "B", "version": "1", "files": ["*"]},
        {"id": 3, "name": "C", "version": "1", "files": ["*"]}]})";
    Serve(1, {{"a.txt", "a"}});
    Serve(2, {{"b.txt", "b"}});
    Serve(3, {{"c.txt", "c"}});
    api->broken.insert("/api/package/download/2");
    Run();
    EXPECT_THAT(api->calls, ElementsAre("GET /api/update/install/Demo", "GET /api/package/download/1",
                                        "GET /api/package/download/2"));
    EXPECT_TRUE(Exists(Cache() + N("/A.1/a.txt")));
    EXPECT_FALSE(Exists(Cache() + N("/B.1.zip")));
    EXPECT_FALSE(Exists(Cache() + N("/B.1.zip.part")));
    EXPECT_THAT(Story(), ::testing::Contains("progress|download B.1.zip|100"));
    // Nothing was copied; the plan stays for the next run.
    EXPECT_FALSE(Exists(Dest() + N("/a.txt")));
    EXPECT_TRUE(Exists(ProgressFile()));

    NextRun();
    api->broken.clear();
    Run();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    EXPECT_THAT(api->calls, ElementsAre("GET /api/package/download/2", "GET /api/package/download/3"));
    for (const char* f : {"a.txt", "b.txt", "c.txt"}) EXPECT_TRUE(Exists(Dest() + N("/") + f)) << f;
}

TEST_F(TOmbrelTest, AFailedDownloadEndsTheRunBeforeTheFolderChanges) {
    // Single files need no unpacked folder, so nothing after the downloads would notice that
    // one of them is missing: the doomed file would go and the first package be copied.
    InstallRelease1();
    const std::string manifestBefore = tmp.Read(Manifest());
    api->answers["/api/update/version/Demo/1.0"] = R"({"version": "1.1", "packages": [
        {"id": 3, "name": "A", "version": "1.1", "filename": "a.bin", "files": ["*"]},
        {"id": 4, "name": "B", "version": "1.1", "filename": "b.bin", "files": ["*"]}],
        "doomed_files": ["sub/b.txt"]})";
    api->files["/api/package/download/3"] = "a";
    struct Case {
        const char* name;
        std::function<void()> breakIt;
    } cases[] = {
        {"download cut short", [&] { api->files["/api/package/download/4"] = "bbbb";
                                     api->broken.insert("/api/package/download/4"); }},
        {"download refused", [&] { api->files.erase("/api/package/download/4"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NextRun();
        c.breakIt();
        Run();
        EXPECT_GE(messages->Count(Level::Error), 1u);
        EXPECT_EQ(tmp.Read(Dest() + N("/sub/b.txt")), "b");
        EXPECT_FALSE(Exists(Dest() + N("/a.bin")));
        EXPECT_FALSE(Exists(Dest() + N("/b.bin")));
        EXPECT_EQ(tmp.Read(Manifest()), manifestBefore);
        EXPECT_TRUE(Exists(ProgressFile()));
        for (const auto& line : messages->Texts(Level::Log)) {
            EXPECT_NE(line, "prepare copy ...");
            EXPECT_NE(line, "remove doomed files ...");
        }
    }

    // The next run continues from the progress file.
    NextRun();
    api->broken.clear();
    api->files["/api/package/download/4"] = "b";
    Run();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("mode: continue"));
    EXPECT_EQ(tmp.Read(Dest() + N("/a.bin")), "a");
    EXPECT_EQ(tmp.Read(Dest() + N("/b.bin")), "b");
    EXPECT_FALSE(Exists(Dest() + N("/sub/b.txt")));
    EXPECT_FALSE(Exists(ProgressFile()));
}

TEST_F(TOmbrelTest, AFailedDownloadInPackageModeInstallsNothing) {
    options->iPackageName = "Tool";
    api->answers["/api/package/info/Tool/"] =
        R"({"id": 6, "name": "Tool", "version": "3.0", "filename": "bin/tool.exe"})";
    Run();
    EXPECT_GE(messages->Count(Level::Error), 1u);
    EXPECT_FALSE(Exists(Dest() + N("/bin")));
    for (const auto& line : messages->Texts(Level::Log)) EXPECT_NE(line, "prepare copy ...");
}

TEST_F(TOmbrelTest, DamagedArchiveInTheCacheIsDroppedSoTheNextRunDownloadsItAgain) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    Serve(1, {{"Demo.exe", "demo 1"}});
    testing::WriteFileBytes(Cache() + N("/Demo.1.0.zip"), "this is no archive");
    Run();
    EXPECT_THAT(messages->Texts(Level::Error),
                ::testing::Contains(Cache() + N("/Demo.1.0.zip is not a valid Zip-File")));
    EXPECT_FALSE(Exists(Cache() + N("/Demo.1.0.zip")));
    EXPECT_FALSE(Exists(Cache() + N("/Demo.1.0")));
    EXPECT_FALSE(Exists(Cache() + N("/Demo.1.0.part")));
    EXPECT_FALSE(Exists(Dest() + N("/Demo.exe")));

    NextRun();
    Run();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    EXPECT_THAT(api->calls, ElementsAre("GET /api/package/download/1"));
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
}

TEST_F(TOmbrelTest, FolderLeftHalfUnpackedIsNotTakenAsComplete) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    testing::WriteFileBytes(Cache() + N("/Demo.1.0.zip"), ZipBytes({{"Demo.exe", "demo 1"}, {"more.txt", "more"}}));
    testing::WriteFileBytes(Cache() + N("/Demo.1.0.part/Demo.exe"), "dem");
    Run();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
    EXPECT_EQ(tmp.Read(Dest() + N("/more.txt")), "more");
    EXPECT_FALSE(Exists(Cache() + N("/Demo.1.0.part")));
}

TEST_F(TOmbrelTest, CopyReportsOnePercentPerPackageAndKeepsWhatWasCopied) {
    std::string packages;
    for (int id = 1; id <= 8; ++id) {
        if (id > 1) packages += ",";
        packages += R"({"id": )" + std::to_string(id) + R"(, "name": "P)" + std::to_string(id) +
                    R"(", "version": "1", "files": ["*"]})";
        Serve(id, {{"f" + std::to_string(id) + ".txt", "x"}});
    }
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [)" + packages + "]}";
    io->fail = [](const std::string& op, const std::string& path) {
        return op == "Copyfile" && path.find("f6.txt") != std::string::npos;
    };
    Run();
    std::vector<int> copy;
    for (const auto& r : messages->reports) {
        if (r.level == Level::Progress && r.text == "copy") copy.push_back(r.percent);
    }
    EXPECT_THAT(copy, ElementsAre(0, 12, 25, 38, 50, 62, 75, 100));
    // Each copied package is recorded at once: the manifest has the five, the plan the rest.
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr(":packages\r\nP1 1\r\nP2 1\r\nP3 1\r\nP4 1\r\nP5 1\r\n\r\n"));
    // The five copied packages left the saved plan; P6 to P8 are still to do.
    std::string plan = tmp.Read(ProgressFile());
    EXPECT_THAT(plan, ::testing::Not(HasSubstr("\"P5\"")));
    EXPECT_THAT(plan, HasSubstr("\"P6\""));
    EXPECT_THAT(plan, HasSubstr("\"P8\""));

    NextRun();
    io->fail = nullptr;
    Run();
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr("P6 1\r\nP7 1\r\nP8 1\r\n"));
    EXPECT_FALSE(Exists(ProgressFile()));
}

TEST_F(TOmbrelTest, OpenTargetStopsTheRunBeforeAnythingChanges) {
    InstallRelease1();
    api->answers["/api/update/version/Demo/1.0"] = R"({"version": "1.1", "packages": [
        {"id": 3, "name": "Demo", "version": "1.1", "files": ["*"]}], "doomed_files": ["sub/b.txt"]})";
    Serve(3, {{"Demo.exe", "demo 1.1"}});
    io->fail = [](const std::string& op, const std::string& path) {
        return op == "CanFileBeOverwritten" && path.find("Demo.exe") != std::string::npos;
    };
    Run();
    EXPECT_THAT(messages->Texts(Level::Error), ElementsAre("file Demo.exe cannot be overwritten"));
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
    EXPECT_TRUE(Exists(Dest() + N("/sub/b.txt")));
    EXPECT_TRUE(Exists(ProgressFile()));
}

TEST_F(TOmbrelTest, UnsavablePlanStopsAfterTheDownloads) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    Serve(1, {{"Demo.exe", "demo 1"}});
    io->fail = [](const std::string& op, const std::string& path) {
        return op == "SetLines" && path.find(".progress") != std::string::npos;
    };
    Run();
    EXPECT_FALSE(success);
    EXPECT_EQ(errorText, "can't store progress\r\n");
    EXPECT_TRUE(Exists(Cache() + N("/Demo.1.0/Demo.exe")));
    EXPECT_FALSE(Exists(Dest() + N("/Demo.exe")));
}

TEST_F(TOmbrelTest, ServerNamesThatWouldLeaveTheirFoldersAreRefused) {
    struct Case {
        const char* name;
        const char* package;
    } cases[] = {
        {"name climbing out of the cache", R"({"id": 1, "name": "../../../escape", "version": "1", "files": ["*"]})"},
        {"version with a separator", R"({"id": 1, "name": "P", "version": "1/../../x", "files": ["*"]})"},
        {"file name climbing out of the folder", R"({"id": 1, "name": "P", "version": "1", "filename": "../../evil.sh", "files": ["*"]})"},
        // Joining keeps a name in drive form as it is: it would land in the current folder.
        {"name in drive form", R"({"id": 1, "name": "C:drive", "version": "1", "files": ["*"]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NextRun();
        fs::remove_all(Dest());
        api->answers["/api/update/install/Demo"] =
            std::string(R"({"version": "1.0", "packages": [)") + c.package + "]}";
        Serve(1, {{"x.txt", "x"}});
        Run();
        EXPECT_GE(messages->Count(Level::Error), 1u) << messages->Dump();
        EXPECT_FALSE(Exists(T("escape.1.zip")));
        EXPECT_FALSE(Exists(T("evil.sh")));
        EXPECT_FALSE(Exists("C:drive.1.zip") || Exists("C:drive.1"));
        EXPECT_FALSE(Exists(Manifest()));
    }
}

TEST_F(TOmbrelTest, ServerValuesThatWouldRewriteTheManifestAreRefused) {
    // A version with line breaks would add a ":files" block of the server's choosing; the next
    // force request would then send invented packages and a repair hash outside files.
    InstallRelease1();
    const std::string before = tmp.Read(Manifest());
    const char* answers[] = {
        R"({"version": "1.1\n:files\n/etc/hostname", "packages": [
            {"id": 3, "name": "Demo", "version": "1.1", "files": ["*"]}]})",
        R"({"version": "1.1", "packages": [
            {"id": 3, "name": ":packages", "version": "1.1", "files": ["*"]}]})",
    };
    Serve(3, {{"Demo.exe", "demo 1.1"}});
    for (const char* answer : answers) {
        SCOPED_TRACE(answer);
        NextRun();
        api->answers["/api/update/version/Demo/1.0"] = answer;
        Run();
        ASSERT_EQ(messages->Count(Level::Error), 1u) << messages->Dump();
        for (const auto& r : messages->reports) {
            if (r.level != Level::Error) continue;
            EXPECT_EQ(r.sender, "Progress");
            EXPECT_THAT(r.text, HasSubstr("cannot be recorded in the manifest"));
        }
        EXPECT_EQ(tmp.Read(Manifest()), before);
        EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
        EXPECT_FALSE(Exists(ProgressFile()));
    }
}

TEST_F(TOmbrelTest, ArchiveNamesTheManifestCannotHoldStopTheRunBeforeTheFolderChanges) {
    // (":files" and a name ending in a blank are no Windows names: the Windows build refuses
    // them when unpacking, see ombrel_windows_test.cpp.)
    for (const char* name : {" lead.txt"}) {
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
        EXPECT_FALSE(Exists(Dest() + N("/Demo.exe")));
        EXPECT_FALSE(Exists(Manifest()));
        EXPECT_TRUE(Exists(ProgressFile()));
    }
}

TEST_F(TOmbrelTest, AnApplicationNameTheManifestCannotHoldIsRefused) {
    options->iAppName = "Demo ";
    Run();
    EXPECT_EQ(errorText,
              "application name \"Demo \" cannot be recorded in the manifest: it begins or ends "
              "with a blank\r\n");
    EXPECT_TRUE(api->calls.empty());
}

TEST_F(TOmbrelTest, AnEmptyAnswerIsAnError) {
    for (const char* answer : {"", "  ", "null"}) {
        SCOPED_TRACE(answer);
        NextRun();
        api->answers["/api/update/install/Demo"] = answer;
        Run();
        EXPECT_EQ(errorText, "the update server's answer holds no version information\r\n");
        EXPECT_FALSE(Exists(ProgressFile()));
    }
}

TEST_F(TOmbrelTest, SecondRunOnABusyFolderChangesNothing) {
    fs::create_directories(Dest());
    std::unique_ptr<TFileLock> held;
    std::string error;
    ASSERT_EQ(TFileLock::Acquire(Dest() + N("/Demo.ombrel.lock"), held, error), TFileLock::TResult::Locked);
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0"})";
    Run();
    EXPECT_FALSE(success);
    EXPECT_EQ(errorText, "installation folder " + Dest() + " is in use by another run\r\n");
    EXPECT_TRUE(api->calls.empty());
    EXPECT_EQ(messages->Count(Level::Progress), 0u);
    EXPECT_FALSE(Exists(Manifest()));

    held.reset();
    NextRun();
    Run();
    EXPECT_TRUE(success);
    EXPECT_TRUE(Exists(Manifest()));
}

// ---------------------------------------------------------------------------------------------
// Package mode

TEST_F(TOmbrelTest, PackageModeInstallsOnePackageInEitherKind) {
    struct Case {
        TPackageMode mode;
        const char* download;
        const char* file;
        const char* folder;
    } cases[] = {
        {TPackageMode::binary, "/api/package/download/5", "Tools.2.1.7.zip", "Tools.2.1.7"},
        {TPackageMode::source, "/api/package/download/source/5", "Tools.2.1.7.src.zip",
         "Tools.src.2.1.7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        NextRun();
        fs::remove_all(Dest());
        options->iAppName = "";
        options->iPackageName = "Tools";
        options->iVersion = "2.1";
        options->iPackageMode = c.mode;
        api->answers["/api/package/info/Tools/2.1"] =
            R"({"id": 5, "name": "Tools", "version": "2.1", "build": 7, "files": ["ignored"]})";
        api->files[c.download] = ZipBytes({{"bin/tool", "tool"}});
        Run();
        EXPECT_TRUE(success) << messages->Dump();
        EXPECT_THAT(api->calls, ElementsAre("GET /api/package/info/Tools/2.1", std::string("GET ") + c.download));
        EXPECT_EQ(messages->Texts(Level::Log).front(),
                  "requesting package information from http://updates.test:8080 for Tools 2.1...");
        EXPECT_TRUE(Exists(Cache() + N("/") + c.file));
        EXPECT_TRUE(Exists(Cache() + N("/") + c.folder));
        EXPECT_EQ(tmp.Read(Dest() + N("/bin/tool")), "tool");
        EXPECT_FALSE(Exists(Dest() + N("/.ombrel")));
        EXPECT_FALSE(Exists(Dest() + N("/.ombrel.progress")));
        for (const auto& r : messages->reports) {
            EXPECT_NE(r.text, "Start");
            EXPECT_NE(r.text, "Finished");
        }
    }
}

TEST_F(TOmbrelTest, SingleFilePackageIsInstalledUnderItsFilename) {
    options->iPackageName = "Tool";
    api->answers["/api/package/info/Tool/"] =
        R"({"id": 6, "name": "Tool", "version": "3.0", "filename": "bin/tool.exe"})";
    api->files["/api/package/download/6"] = "MZ tool";
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_EQ(tmp.Read(Cache() + N("/Tool.3.0.tool.exe")), "MZ tool");
    EXPECT_EQ(tmp.Read(Dest() + N("/bin/tool.exe")), "MZ tool");
    EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("copy " + N("bin/tool.exe") + " to " + Dest()));
    for (const auto& line : messages->Texts(Level::Log)) EXPECT_THAT(line, ::testing::Not(HasSubstr(N("/* to"))));
}

TEST_F(TOmbrelTest, SingleFileArchiveIsUnpackedOnlyWhenItEndsInLowerCaseZip) {
    struct Case {
        const char* filename;
        const char* cached;
        bool unpacked;
    } cases[] = {
        {"data.zip", "Data.3.0.data.zip", true},
        {"DATA.ZIP", "Data.3.0.DATA.ZIP", false},
    };
    const std::string archive = ZipBytes({{"inside.txt", "inside"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.filename);
        NextRun();
        fs::remove_all(Dest());
        fs::remove_all(Cache());
        options->iPackageName = "Data";
        api->answers["/api/package/info/Data/"] =
            std::string(R"({"id": 7, "name": "Data", "version": "3.0", "filename": ")") +
            c.filename + R"("})";
        api->files["/api/package/download/7"] = archive;
        Run();
        EXPECT_TRUE(success) << messages->Dump();
        EXPECT_EQ(tmp.Read(Cache() + N("/") + c.cached), archive);
        EXPECT_EQ(Exists(Cache() + N("/Data.3.0/inside.txt")), c.unpacked);
        // What is installed is the downloaded archive itself, under its file name.
        EXPECT_EQ(tmp.Read(Dest() + N("/") + c.filename), archive);
        EXPECT_FALSE(Exists(Dest() + N("/inside.txt")));
    }
}

TEST_F(TOmbrelTest, SingleFilesOfTheSameNameKeepTheirOwnCacheFiles) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "x", "version": "1.0", "filename": "x/config.json", "files": ["*"]},
        {"id": 2, "name": "y", "version": "1.0", "filename": "y/config.json", "files": ["*"]}]})";
    api->files["/api/package/download/1"] = "x config";
    api->files["/api/package/download/2"] = "y config";
    Run();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    EXPECT_THAT(api->calls, ElementsAre("GET /api/update/install/Demo", "GET /api/package/download/1",
                                        "GET /api/package/download/2"));
    EXPECT_EQ(tmp.Read(Dest() + N("/x/config.json")), "x config");
    EXPECT_EQ(tmp.Read(Dest() + N("/y/config.json")), "y config");
}

TEST_F(TOmbrelTest, ASingleFileNamedZipThatIsNoArchiveIsInstalledAsItIs) {
    options->iPackageName = "Data";
    api->answers["/api/package/info/Data/"] =
        R"({"id": 7, "name": "Data", "version": "3.0", "filename": "data.zip"})";
    api->files["/api/package/download/7"] = "not an archive";
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        NextRun();
        Run();
        EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
        EXPECT_EQ(tmp.Read(Dest() + N("/data.zip")), "not an archive");
        EXPECT_EQ(tmp.Read(Cache() + N("/Data.3.0.data.zip")), "not an archive");
        EXPECT_FALSE(Exists(Cache() + N("/Data.3.0")));
        // Downloaded once; the second run finds it in the cache.
        EXPECT_EQ(api->calls.size(), run == 1 ? 2u : 1u) << ::testing::PrintToString(api->calls);
    }
}

TEST_F(TOmbrelTest, ASingleFileIsRecordedUnderTheNameItIsInstalledAs) {
    // Installed at bin/t.bin, so recorded as such, and a repair finds it.
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "t", "version": "1.0", "filename": "bin\\t.bin", "files": ["*"]}]})";
    api->files["/api/package/download/1"] = "t";
    Run();
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr(":files\r\n" + N("bin/t.bin") + "\r\n"));
    NextRun();
    options->iRepair = true;
    api->answers["/api/update/repair/Demo/1.0"] = R"({"version": "1.0"})";
    Run();
    using Hash = THashList::value_type;
    EXPECT_THAT(api->repairHashes, ElementsAre(Hash(N("bin/t.bin"), "e358efa489f58062f10dd7316b65649e")));
}

// ---------------------------------------------------------------------------------------------
// Package cache folder

TEST_F(TOmbrelTest, CacheFolderIsNamedAfterTheServer) {
    struct Case {
        std::string url;
        std::string folder;
    } cases[] = {
        {build::kDefaultServer, CacheRoot()},
        {"https://host.example:8443/api/", CacheFor("host.example:8443/api")},
        {"host<1>|\"x\"", CacheFor("host_1___x_")},
        // ".." never climbs out of the cache, and "." parts go.
        {"http://host/../../../../x", CacheFor("host/x")},
        {"http://host/a/./b/../c", CacheFor("host/a/c")},
        {"http://../x", CacheFor("_/x")},
        {"..\\..\\x", CacheFor("_/x")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        NextRun();
        fs::remove_all(Dest());
        options->iApiUrl = c.url;
        api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
            {"id": 1, "name": "Demo", "version": "1.0", "filename": "Demo.exe", "files": ["*"]}]})";
        api->files["/api/package/download/1"] = "demo";
        Run();
        EXPECT_EQ(tmp.Read(c.folder + N("/Demo.1.0.Demo.exe")), "demo") << messages->Dump();
    }
}


// ---------------------------------------------------------------------------------------------
// Interrupted runs: a run stopped before any call that changes the disk, then run again, ends
// exactly where an uninterrupted run ends.

class TOmbrelInterruptedTest : public TOmbrelTest {
protected:
    // Every entry below the installation folder: files with their bytes, folders as "name/".
    std::map<std::string, std::string> Snapshot() const {
        std::map<std::string, std::string> entries;
        if (!fs::exists(Dest())) return entries;
        for (const auto& e : fs::recursive_directory_iterator(Dest())) {
            const std::string name = fs::relative(e.path(), Dest()).string();
            if (e.is_directory()) {
                entries[name + "/"] = "";
            } else {
                entries[name] = tmp.Read(e.path().string());
            }
        }
        return entries;
    }

    // Release 1.0 (Demo: Demo.exe, readme.txt, sub/b.txt; Lib: lib/core.so; Extra: x/extra.dat)
    // and the update to 1.1 (Demo changed and without readme.txt, Lib unchanged, Extra gone).
    void ServeReleases() {
        api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
            {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]},
            {"id": 2, "name": "Lib", "version": "1.0", "files": ["*"]},
            {"id": 3, "name": "Extra", "version": "1.0", "files": ["*"]}]})";
        Serve(1, {{"Demo.exe", "demo 1.0"}, {"readme.txt", "read me"}, {"sub/b.txt", "b"}});
        Serve(2, {{"lib/core.so", "core 1.0"}});
        Serve(3, {{"x/extra.dat", "extra"}});
        api->answers["/api/update/version/Demo/1.0"] = R"({"version": "1.1", "packages": [
            {"id": 4, "name": "Demo", "version": "1.1", "files": ["*"]}],
            "doomed_packages": ["Extra"], "doomed_files": ["readme.txt", "x/extra.dat"]})";
        Serve(4, {{"Demo.exe", "demo 1.1"}, {"sub/b.txt", "b 1.1"}, {"sub/c.txt", "c"}});
        api->answers["/api/update/version/Demo/1.1"] = R"({"version": "1.1"})";
    }

    // Runs into a folder and cache of their own, named by `tag`.
    void UseFolders(const std::string& tag) {
        otherDest = T(tag + "/dest");
        options->iDestination = otherDest;
        SetCacheHome(T(tag + "/cache"));
    }

    // Runs until the stopPoint-th call that changes the disk (none when 0); answers how many
    // such calls the run made, or -1 when it was stopped.
    int RunStoppedAt(int stopPoint) {
        int calls = 0;
        io->kill = [&](const std::string&, const std::string&) { return ++calls == stopPoint; };
        try {
            Run();
        } catch (const testing::SimulatedKill&) {
            io->kill = nullptr;
            return -1;
        }
        io->kill = nullptr;
        return calls;
    }

    // For every stop point of the run that `update` selects (install, or update from 1.0), the
    // stopped run and then a normal one end with the same installation folder as one run.
    void SweepStopPoints(bool update) {
        ServeReleases();
        UseFolders("reference");
        if (update) Run();
        NextRun();
        const int points = RunStoppedAt(0);
        ASSERT_TRUE(success) << messages->Dump();
        const auto expected = Snapshot();
        ASSERT_GT(points, 3);
        for (int point = 1; point <= points; ++point) {
            SCOPED_TRACE("stopped before disk call " + std::to_string(point));
            UseFolders("run" + std::to_string(point));
            NextRun();
            if (update) Run();
            NextRun();
            ASSERT_EQ(RunStoppedAt(point), -1);
            NextRun();
            Run();
            EXPECT_TRUE(success) << messages->Dump();
            EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
            EXPECT_EQ(Snapshot(), expected);
        }
    }
};

TEST_F(TOmbrelInterruptedTest, InstallStoppedAtAnyPointEndsLikeOneRun) { SweepStopPoints(false); }

TEST_F(TOmbrelInterruptedTest, UpdateStoppedAtAnyPointEndsLikeOneRun) { SweepStopPoints(true); }

TEST_F(TOmbrelInterruptedTest, TemporaryFilesOfAKilledWriteAreRemovedByTheNextRun) {
    ServeReleases();
    Run();
    ASSERT_TRUE(success) << messages->Dump();
    const auto expected = Snapshot();
    // What a write killed before its rename leaves: at the top level (a state file) and, while
    // a run is unfinished, below it (a package file). Names of the same shape owned by packages
    // are not touched when they are not temporary names.
    tmp.Write("dest/.ombrel-0123456789abcdef.tmp", "half a manifest");
    tmp.Write("dest/sub/.ombrel-fedcba9876543210.tmp", "half a file");
    testing::WriteFileBytes(ProgressFile(), R"({"version": "1.0"})");
    NextRun();
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_EQ(Snapshot(), expected);
}

// ---------------------------------------------------------------------------------------------
// Damaged state files: the run stops with an error that names the file and the run that
// repairs it, changes nothing, and that repair run then ends fully correct.

TEST_F(TOmbrelInterruptedTest, DamagedManifestStopsEveryRunButARepair) {
    struct Case {
        const char* name;
        std::string content;  // written as the manifest
        bool unreadable;
        const char* damage;
    } cases[] = {
        {"empty", "", false, "it names no version"},
        {"garbage", std::string("\x00\xff garbage \x01", 12), false, "it names no version"},
        {"no version", ":app Demo\r\n\r\n:packages\r\nDemo 1.0\r\n\r\n:files\r\nDemo.exe\r\n\r\n",
         false, "it names no version"},
        {"file outside", ":app Demo\r\n\r\n:version 1.0\r\n\r\n:files\r\n../x\r\n\r\n", false,
         "it names the file ../x outside the installation folder"},
        {"unreadable", "", true, "it cannot be read"},
    };
    ServeReleases();
    api->answers["/api/update/repair/Demo/1.0"] = R"({"version": "1.0"})";
    UseFolders("reference");
    Run();
    ASSERT_TRUE(success) << messages->Dump();
    const auto expected = Snapshot();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UseFolders(c.name);
        NextRun();
        Run();
        ASSERT_TRUE(success) << messages->Dump();
        if (!c.unreadable) testing::WriteFileBytes(Manifest(), c.content);
        if (c.unreadable) {
            io->fail = [this](const std::string& op, const std::string& path) {
                return op == "GetLines" && path == Manifest();
            };
        }
        const auto damaged = Snapshot();

        NextRun();
        Run();
        io->fail = nullptr;
        EXPECT_FALSE(success);
        EXPECT_THAT(messages->Texts(Level::Error),
                    ::testing::Contains("ombrel file " + Manifest() + " is damaged (" + c.damage +
                                        "); a repair run (--repair) installs the application again"));
        EXPECT_TRUE(api->calls.empty());
        EXPECT_EQ(Snapshot(), damaged) << "nothing changes";

        NextRun();
        options->iRepair = true;
        Run();
        options->iRepair = false;
        EXPECT_TRUE(success) << messages->Dump();
        EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
        // A manifest that reads again is repaired as usual; a damaged one is installed anew.
        EXPECT_THAT(api->calls, ::testing::Contains(c.unreadable ? "POST /api/update/repair/Demo/1.0"
                                                                  : "GET /api/update/install/Demo"));
        EXPECT_EQ(Snapshot(), expected);
    }
}

TEST_F(TOmbrelInterruptedTest, DamagedProgressFileStopsEveryRunButARepair) {
    struct Case {
        const char* name;
        std::string content;  // written as the progress file
        bool unreadable;
        const char* damage;
    } cases[] = {
        {"empty", "", false, "it is empty"},
        {"blank", "\xEF\xBB\xBF \r\n\r\n", false, "it is empty"},
        {"garbage", "{\"version\": \"1.0\", \"packages\": [", false, "it holds no plan: bad progress data in "},
        {"array", "[]", false, "it holds no plan: bad progress data in "},
        {"null", "null", false, "it holds no plan"},
        {"no version", "{}", false, "it names no version"},
        {"package leaving the cache",
         R"({"version": "1.0", "packages": [{"id": 1, "name": "../x", "version": "1.0", "files": ["*"]}]})",
         false, "its package ../x 1.0 cannot be kept in the package cache"},
        {"file leaving the folder",
         R"({"version": "1.0", "packages": [{"id": 1, "name": "T", "version": "1.0", "filename": "../t.exe", "files": ["*"]}]})",
         false, "its package T 1.0 names a file outside the installation folder"},
        {"unreadable", "{}", true, "it cannot be read"},
    };
    ServeReleases();
    api->answers["/api/update/repair/Demo/1.0"] = R"({"version": "1.0"})";
    UseFolders("reference");
    Run();
    ASSERT_TRUE(success) << messages->Dump();
    const auto expected = Snapshot();
    // Over an installation (repaired through the server) and over nothing (installed anew).
    for (bool installed : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (installed ? " over an installation" : " alone"));
            UseFolders(std::string(c.name) + (installed ? "-installed" : "-alone"));
            NextRun();
            if (installed) Run();
            testing::WriteFileBytes(ProgressFile(), c.content);
            if (c.unreadable) {
                io->fail = [this](const std::string& op, const std::string& path) {
                    return op == "GetLines" && path == ProgressFile();
                };
            }
            const auto damaged = Snapshot();

            NextRun();
            Run();
            io->fail = nullptr;
            EXPECT_FALSE(success);
            const std::string prefix = "progress file " + ProgressFile() + " is damaged (";
            const std::string suffix = "); a repair run (--repair) repairs the installation";
            bool found = false;
            for (const auto& text : messages->Texts(Level::Error)) {
                found = found || (text.rfind(prefix + c.damage, 0) == 0 &&
                                  text.size() > suffix.size() &&
                                  text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0);
            }
            EXPECT_TRUE(found) << messages->Dump();
            EXPECT_TRUE(api->calls.empty());
            EXPECT_EQ(Snapshot(), damaged) << "nothing changes";

            NextRun();
            options->iRepair = true;
            Run();
            options->iRepair = false;
            EXPECT_TRUE(success) << messages->Dump();
            EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
            EXPECT_EQ(Snapshot(), expected);
        }
    }
}

TEST_F(TOmbrelTest, AnswerWithoutVersionIsNotSavedAsAPlan) {
    InstallRelease1();
    const std::string manifest = tmp.Read(Manifest());
    api->answers["/api/update/version/Demo/1.0"] = "{}";
    Run();
    EXPECT_FALSE(success);
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("the server's answer cannot be carried out (it names no version)"));
    EXPECT_FALSE(Exists(ProgressFile()));
    EXPECT_EQ(tmp.Read(Manifest()), manifest);
}

// ---------------------------------------------------------------------------------------------
// Folders and names the engine refuses

TEST_F(TOmbrelTest, ApplicationNameIsCheckedLikeAnyOtherName) {
    for (const char* name : {"../x", "a/b", "..", "C:x", "a\\b"}) {
        SCOPED_TRACE(name);
        NextRun();
        options->iAppName = name;
        Run();
        EXPECT_FALSE(success);
        EXPECT_THAT(messages->Texts(Level::Error),
                    ElementsAre(std::string("application name ") + name +
                                " cannot be used: it is no plain file name"));
        EXPECT_TRUE(api->calls.empty());
    }
    EXPECT_FALSE(Exists(Dest()));
    EXPECT_FALSE(Exists(T("x.ombrel.lock")));
}

TEST_F(TOmbrelTest, EngineFileNamesAreNeitherInstalledNorDeleted) {
    InstallRelease1();
    const std::string manifest = tmp.Read(Manifest());
    for (const char* name : {"Demo.ombrel", "DEMO.ombrel.progress", "demo.ombrel.lock",
                             "sub/.ombrel-0123456789abcdef.tmp"}) {
        SCOPED_TRACE(name);
        NextRun();
        api->answers["/api/update/version/Demo/1.0"] = R"({"version": "1.1", "packages": [
            {"id": 3, "name": "Evil", "version": "1.0", "files": ["*"]}]})";
        Serve(3, {{"Demo.exe", "evil"}, {name, "planted"}});
        Run();
        EXPECT_FALSE(success);
        EXPECT_THAT(messages->Texts(Level::Error),
                    ElementsAre("package Evil 1.0 installs " + N(name) +
                                ", a name the engine keeps for its own files"));
        EXPECT_EQ(tmp.Read(Manifest()), manifest);
        EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
        fs::remove(ProgressFile());
        fs::remove_all(Cache() + N("/Evil.1.0"));
        fs::remove(Cache() + N("/Evil.1.0.zip"));
    }

    NextRun();
    api->answers["/api/update/version/Demo/1.0"] =
        R"({"version": "1.0", "doomed_files": ["Demo.ombrel", "demo.OMBREL", "Demo.ombrel.lock",
                                     "./Demo.ombrel.progress"]})";
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_THAT(messages->Texts(Level::Warning),
                ElementsAre("doomed file Demo.ombrel is one of the engine's own files... ignored",
                            "doomed file demo.OMBREL is one of the engine's own files... ignored",
                            "doomed file Demo.ombrel.lock is one of the engine's own files... ignored",
                            "doomed file ./Demo.ombrel.progress is one of the engine's own files... ignored"));
    EXPECT_EQ(tmp.Read(Manifest()), manifest);
}

// ---------------------------------------------------------------------------------------------
// The package cache is checked, not trusted

TEST_F(TOmbrelTest, UnpackedFolderIsUsedOnlyWhenItMatchesItsArchive) {
    struct Case {
        const char* name;
        std::function<void(const std::string& folder)> spoil;
    } cases[] = {
        {"planted without a marker",
         [](const std::string& folder) {
             fs::remove(folder + N("/.ombrel-unpacked"));
             testing::WriteFileBytes(folder + N("/evil.txt"), "planted");
         }},
        {"a file added", [](const std::string& folder) { testing::WriteFileBytes(folder + N("/evil.txt"), "planted"); }},
        {"a file missing", [](const std::string& folder) { fs::remove(folder + N("/sub/b.txt")); }},
        {"a file cut short", [](const std::string& folder) { testing::WriteFileBytes(folder + N("/Demo.exe"), "de"); }},
        {"the marker damaged", [](const std::string& folder) { testing::WriteFileBytes(folder + N("/.ombrel-unpacked"), "x"); }},
        {"the archive replaced",
         [this](const std::string&) {
             testing::WriteFileBytes(Cache() + N("/Demo.1.0.zip"),
                                     ZipBytes({{"Demo.exe", "demo 1"}, {"sub/b.txt", "b"}}));
         }},
    };
    InstallRelease1();
    const std::string manifest = tmp.Read(Manifest());
    const std::string folder = Cache() + N("/Demo.1.0");
    EXPECT_THAT(tmp.Read(folder + N("/.ombrel-unpacked")),
                ::testing::StartsWith(std::string(kBom) + "ombrel-unpacked 1\r\narchive "));
    EXPECT_FALSE(Exists(Dest() + N("/.ombrel-unpacked"))) << "the marker is not installed";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.spoil(folder);
        fs::remove_all(Dest());
        NextRun();
        Run();
        EXPECT_TRUE(success) << messages->Dump();
        EXPECT_THAT(messages->Texts(Level::Log), ::testing::Contains("unpacking " + folder + " again"));
        EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
        EXPECT_EQ(tmp.Read(Dest() + N("/sub/b.txt")), "b");
        EXPECT_FALSE(Exists(Dest() + N("/evil.txt")));
        EXPECT_FALSE(Exists(folder + N("/evil.txt")));
        EXPECT_EQ(tmp.Read(Manifest()), manifest);
    }
}

TEST_F(TOmbrelTest, RepairChecksTheContentOfTheCachedCopiesItInstallsAgain) {
    InstallRelease1();
    // Same size, other bytes: only reading the files tells.
    testing::WriteFileBytes(Cache() + N("/Demo.1.0/Demo.exe"), "DEMO 1");
    testing::WriteFileBytes(Dest() + N("/Demo.exe"), "broken");
    api->answers["/api/update/repair/Demo/1.0"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    options->iRepair = true;
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_THAT(messages->Texts(Level::Log),
                ::testing::Contains("unpacking " + Cache() + N("/Demo.1.0 again")));
    EXPECT_EQ(tmp.Read(Dest() + N("/Demo.exe")), "demo 1");
    EXPECT_EQ(tmp.Read(Cache() + N("/Demo.1.0/Demo.exe")), "demo 1");
}

TEST_F(TOmbrelTest, ArchiveEntryNamedLikeTheMarkerIsRefused) {
    api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
        {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]}]})";
    Serve(1, {{"Demo.exe", "demo 1"}, {".ombrel-unpacked", "ombrel-unpacked 1\r\narchive 0 0\r\n"}});
    Run();
    EXPECT_THAT(messages->Texts(Level::Error),
                ::testing::Contains("Entry name is reserved for the package cache: .ombrel-unpacked"));
    EXPECT_FALSE(Exists(Cache() + N("/Demo.1.0")));
    EXPECT_FALSE(Exists(Dest() + N("/Demo.exe")));
}

TEST_F(TOmbrelTest, FolderThatCannotBeRemovedKeepsItsObsoleteFilesInThePlan) {
    InstallRelease1();
    api->answers["/api/update/version/Demo/1.0"] =
        R"({"version": "1.1", "doomed_files": ["sub/b.txt"]})";
    io->fail = [](const std::string& op, const std::string&) {
        return op == "DirectoryDeleteIfEmpty";
    };
    Run();
    EXPECT_FALSE(success);
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("could not remove folder " + Dest() +
                            N("/sub") + ": the system refused to remove it"));
    EXPECT_FALSE(Exists(Dest() + N("/sub/b.txt")));
    EXPECT_THAT(tmp.Read(ProgressFile()), HasSubstr("sub\\/b.txt"));
    EXPECT_THAT(tmp.Read(Manifest()), ::testing::Not(HasSubstr(N("sub/b.txt"))));

    NextRun();
    io->fail = nullptr;
    Run();
    EXPECT_TRUE(success) << messages->Dump();
    EXPECT_FALSE(Exists(Dest() + N("/sub")));
    EXPECT_FALSE(Exists(ProgressFile()));
    EXPECT_THAT(tmp.Read(Manifest()), HasSubstr(":version 1.1\r\n"));
}

}  // namespace
}  // namespace ombrel
