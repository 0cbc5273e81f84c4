#include "state/progress.h"

#include <gtest/gtest.h>

#include "tests/state/memory_io.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using testing::CollectingMessages;
using testing::Level;
using testing::MemoryIO;
using Strings = std::vector<std::string>;

const char kVersionAnswer[] = R"({
    "version": "2.1",
    "packages": [
        {"id": 7, "name": "core", "version": "2.1.0", "build": 3, "filename": "",
         "files": ["*.dll", "bin/app"], "updated_at": "2024-03-05"},
        {"id": 8, "name": "nofiles", "files": []},
        {"id": 9, "name": "missingfiles"},
        {"id": 10, "name": "setup", "version": "1", "filename": "setup.bin", "files": ["*"]}
    ],
    "doomed_packages": ["old"],
    "doomed_files": ["lib\\gone.dll", "a/b.txt"]
})";

class ProgressTest : public ::testing::Test {
protected:
    std::shared_ptr<MemoryIO> io = std::make_shared<MemoryIO>();
    std::shared_ptr<CollectingMessages> messages = std::make_shared<CollectingMessages>();
    TProgress progress{io, messages};

    // Fills the plan with something, so that a test can see it emptied or kept.
    void FillPlan() {
        ASSERT_TRUE(progress.SetApiVersionResponse(kVersionAnswer));
        ASSERT_FALSE(progress.NothingTodo());
    }
    void ExpectEmptyPlan() {
        EXPECT_EQ(progress.Version, "");
        EXPECT_TRUE(progress.Packages().empty());
        EXPECT_TRUE(progress.DoomedFiles().empty());
        EXPECT_TRUE(progress.DoomedPackages().empty());
    }
    void ExpectFilledPlan() {
        EXPECT_EQ(progress.Version, "2.1");
        EXPECT_EQ(progress.Packages().size(), 2u);
        EXPECT_EQ(progress.DoomedFiles().size(), 2u);
    }
};

TEST_F(ProgressTest, VersionAnswerBecomesThePlan) {
    ASSERT_TRUE(progress.SetApiVersionResponse(kVersionAnswer));
    EXPECT_EQ(progress.Version, "2.1");
    ASSERT_EQ(progress.Packages().size(), 2u);  // packages without files are left out
    const TPackage& core = *progress.Packages()[0];
    EXPECT_EQ(core.Id, 7);
    EXPECT_EQ(core.Name, "core");
    EXPECT_EQ(core.Version, "2.1.0");  // build not used
    EXPECT_EQ(core.Filename, "");
    EXPECT_EQ(core.Files, (Strings{"*.dll", "bin/app"}));
    EXPECT_EQ(core.PackageMode, TPackageMode::binary);
    EXPECT_EQ(progress.Packages()[1]->Filename, "setup.bin");
    EXPECT_EQ(progress.DoomedPackages(), (Strings{"old"}));
    EXPECT_EQ(progress.DoomedFiles(), (Strings{"lib\\gone.dll", "a/b.txt"}));
    EXPECT_TRUE(messages->reports.empty());
}

TEST_F(ProgressTest, AnswerWithoutUsablePackagesStillSucceeds) {
    FillPlan();
    ASSERT_TRUE(progress.SetApiVersionResponse(
        R"({"version": "3", "packages": [{"id": 1, "files": []}, {"id": 2}]})"));
    EXPECT_EQ(progress.Version, "3");
    EXPECT_TRUE(progress.Packages().empty());
    EXPECT_TRUE(progress.DoomedFiles().empty());
    EXPECT_TRUE(progress.DoomedPackages().empty());
    EXPECT_TRUE(progress.NothingTodo());
}

TEST_F(ProgressTest, UnusableVersionAnswersEmptyThePlan) {
    struct Case {
        const char* text;
        const char* report;  // nullptr: nothing reported; "" : any "bad progress data" text
    };
    const Case cases[] = {
        {"", nullptr},
        {" \r\n ", nullptr},
        {"null", nullptr},
        {"[]", "bad progress data in Api-Response: Der Eingabewert ist kein gültiges Objekt"},
        {"\"2.1\"", "bad progress data in Api-Response: Der Eingabewert ist kein gültiges Objekt"},
        {"{\"version\": ", "bad progress data in Api-Response: Der Eingabewert ist kein gültiges Objekt"},
        {"{\"packages\": {}}",
         "bad progress data in Api-Response: \"packages\" is an object where an array is "
         "expected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FillPlan();
        messages->reports.clear();
        EXPECT_FALSE(progress.SetApiVersionResponse(c.text));
        ExpectEmptyPlan();
        if (c.report) {
            ASSERT_EQ(messages->reports.size(), 1u) << messages->Dump();
            EXPECT_EQ(messages->reports[0].level, Level::Error);
            EXPECT_EQ(messages->reports[0].sender, "Progress");
            EXPECT_EQ(messages->reports[0].text, c.report);
        } else {
            EXPECT_TRUE(messages->reports.empty()) << messages->Dump();
        }
    }
}

TEST_F(ProgressTest, ValuesTheManifestCannotHoldAreRefusedWhereTheyEnter) {
    // The version and the packages' names, versions and install names go into the manifest.
    struct Case {
        const char* name;
        std::string answer;
        std::string reason;
    } cases[] = {
        {"line break in the version",
         R"({"version": "1.0\n:files\n/etc/hostname", "packages": []})",
         R"("version" ("1.0\n:files\n/etc/hostname") cannot be recorded in the manifest: )"
         "it holds a line break or another control character"},
        {"blank at the end of the version", R"({"version": "1.0 "})",
         R"("version" ("1.0 ") cannot be recorded in the manifest: it begins or ends with a blank)"},
        {"blank in a package name",
         R"({"version": "1", "packages": [{"id": 1, "name": "my pkg", "version": "1", "files": ["*"]}]})",
         R"("packages[0].name" ("my pkg") cannot be recorded in the manifest: it holds a blank)"},
        {"empty package name",
         R"({"version": "1", "packages": [{"id": 1, "version": "1", "files": ["*"]}]})",
         R"("packages[0].name" ("") cannot be recorded in the manifest: it is empty)"},
        {"package name beginning with a colon",
         R"({"version": "1", "packages": [{"id": 1, "name": ":files", "files": ["*"]}]})",
         R"("packages[0].name" (":files") cannot be recorded in the manifest: it begins with ':')"},
        {"quote in a package version",
         R"({"version": "1", "packages": [{"id": 1, "name": "p", "version": "1\"", "files": ["*"]}]})",
         R"("packages[0].version" ("1"") cannot be recorded in the manifest: it holds a double quotation mark)"},
        {"install name beginning with a colon",
         R"({"version": "1", "packages": [{"id": 1, "name": "p", "version": "1", "filename": ":x", "files": ["*"]}]})",
         R"("packages[0].filename" (":x") cannot be recorded in the manifest: it begins with ':')"},
        {"install name with a leading blank",
         R"({"version": "1", "packages": [{"id": 1, "name": "p", "version": "1", "filename": "./ x", "files": ["*"]}]})",
         R"("packages[0].filename" ("./ x") cannot be recorded in the manifest: it begins or ends with a blank)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        messages->reports.clear();
        FillPlan();
        EXPECT_FALSE(progress.SetApiVersionResponse(c.answer));
        ExpectEmptyPlan();
        EXPECT_EQ(messages->Texts(Level::Error),
                  Strings{"bad progress data in Api-Response: " + c.reason});

        // The progress file is read the same way.
        messages->reports.clear();
        io->files["p.progress"] = {c.answer};
        EXPECT_FALSE(progress.LoadFromFile("p.progress"));
        EXPECT_EQ(messages->Texts(Level::Error),
                  Strings{"bad progress data in p.progress: " + c.reason});
    }
    // A package without files is left out of the plan, so its name does not matter.
    messages->reports.clear();
    EXPECT_TRUE(progress.SetApiVersionResponse(
        R"({"version": "1", "packages": [{"id": 1, "name": "my pkg", "files": []}]})"));
    EXPECT_TRUE(messages->reports.empty());
}

TEST_F(ProgressTest, PackageAnswerBecomesAOnePackagePlan) {
    struct Case {
        const char* text;
        const char* planVersion;
        const char* packageVersion;
    };
    const Case cases[] = {
        {R"({"id": 5, "name": "tool", "version": "2.1", "build": 0, "files": ["a", "b"]})", "2.1",
         "2.1"},
        {R"({"id": 5, "name": "tool", "version": "2.1", "build": 12})", "2.1", "2.1.12"},
        {R"({"id": 5, "name": "tool", "version": "2.1", "build": "7"})", "2.1", "2.1.7"},
        {R"({"id": 5, "name": "tool", "version": "2.1", "build": -1})", "2.1", "2.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FillPlan();
        ASSERT_TRUE(progress.SetApiPackageResponse(c.text, TPackageMode::source));
        EXPECT_EQ(progress.Version, c.planVersion);
        ASSERT_EQ(progress.Packages().size(), 1u);
        const TPackage& package = *progress.Packages()[0];
        EXPECT_EQ(package.Id, 5);
        EXPECT_EQ(package.Name, "tool");
        EXPECT_EQ(package.Version, c.packageVersion);
        EXPECT_EQ(package.Files, (Strings{"*"}));  // the answer's own list is not used
        EXPECT_EQ(package.PackageMode, TPackageMode::source);
        EXPECT_TRUE(progress.DoomedFiles().empty());
        EXPECT_TRUE(progress.DoomedPackages().empty());
    }
    ASSERT_TRUE(progress.SetApiPackageResponse(R"({"id": 1, "filename": "x.bin"})",
                                               TPackageMode::binary));
    EXPECT_EQ(progress.Packages()[0]->Filename, "x.bin");
    EXPECT_EQ(progress.Packages()[0]->PackageMode, TPackageMode::binary);
    EXPECT_TRUE(messages->reports.empty());
}

TEST_F(ProgressTest, UnusablePackageAnswersEmptyThePlan) {
    FillPlan();
    EXPECT_FALSE(progress.SetApiPackageResponse("[{\"id\": 1}]", TPackageMode::binary));
    ExpectEmptyPlan();
    ASSERT_EQ(messages->reports.size(), 1u);
    EXPECT_EQ(messages->reports[0].sender, "Progress");
    EXPECT_EQ(messages->reports[0].text,
              "bad  package information data in API-Response: Der Eingabewert ist kein gültiges "
              "Objekt");

    FillPlan();
    messages->reports.clear();
    EXPECT_FALSE(progress.SetApiPackageResponse("null", TPackageMode::binary));
    ExpectEmptyPlan();
    EXPECT_TRUE(messages->reports.empty());
}

TEST_F(ProgressTest, SavedPlanLoadsBackInBinaryMode) {
    ASSERT_TRUE(progress.SetApiPackageResponse(
        R"({"id": 3, "name": "tool", "version": "1.0", "build": 4, "filename": "t.bin"})",
        TPackageMode::source));
    progress.DoomedFiles() = {"x/y.txt"};
    progress.DoomedPackages() = {"gone"};
    ASSERT_TRUE(progress.SaveToFile("/inst/app.ombrel.progress"));

    TProgress loaded(io, messages);
    ASSERT_TRUE(loaded.LoadFromFile("/inst/app.ombrel.progress"));
    EXPECT_EQ(loaded.Version, "1.0");
    ASSERT_EQ(loaded.Packages().size(), 1u);
    const TPackage& package = *loaded.Packages()[0];
    EXPECT_EQ(package.Id, 3);
    EXPECT_EQ(package.Name, "tool");
    EXPECT_EQ(package.Version, "1.0.4");
    EXPECT_EQ(package.Filename, "t.bin");
    EXPECT_EQ(package.Files, (Strings{"*"}));
    EXPECT_EQ(package.PackageMode, TPackageMode::binary);
    EXPECT_EQ(loaded.DoomedFiles(), (Strings{"x/y.txt"}));
    EXPECT_EQ(loaded.DoomedPackages(), (Strings{"gone"}));
    EXPECT_TRUE(messages->reports.empty()) << messages->Dump();
}

TEST_F(ProgressTest, SavesTheDocumentLineByLine) {
    ASSERT_TRUE(progress.SaveToFile("p"));
    EXPECT_EQ(io->files["p"], (Strings{"{", "}"}));
    TProgress loaded(io, messages);
    EXPECT_TRUE(loaded.LoadFromFile("p"));
    EXPECT_TRUE(loaded.NothingTodo());

    ASSERT_TRUE(progress.SetApiVersionResponse(
        R"({"version": "2", "packages": [{"id": 1, "name": "a/b", "files": ["*"]}]})"));
    ASSERT_TRUE(progress.SaveToFile("p"));
    EXPECT_EQ(io->files["p"], (Strings{
                                  "{",
                                  "    \"version\": \"2\",",
                                  "    \"packages\": [",
                                  "        {",
                                  "            \"id\": 1,",
                                  "            \"name\": \"a\\/b\",",
                                  "            \"build\": 0,",
                                  "            \"files\": [",
                                  "                \"*\"",
                                  "            ]",
                                  "        }",
                                  "    ]",
                                  "}",
                              }));
}

TEST_F(ProgressTest, FailedSaveAnswersFalseAndKeepsThePlan) {
    FillPlan();
    io->failSetLines = true;
    EXPECT_FALSE(progress.SaveToFile("p"));
    ExpectFilledPlan();
}

TEST_F(ProgressTest, LoadingKeepsThePlanWhenTheFileIsMissingOrUnreadable) {
    FillPlan();
    EXPECT_FALSE(progress.LoadFromFile("missing"));
    ExpectFilledPlan();

    io->files["p"] = {"{}"};
    io->failGetLines = true;
    EXPECT_FALSE(progress.LoadFromFile("p"));
    ExpectFilledPlan();
    EXPECT_TRUE(messages->reports.empty());
}

TEST_F(ProgressTest, LoadingBadContentEmptiesThePlanAndNamesTheFile) {
    io->files["/inst/app.ombrel.progress"] = {"{", "    \"version\": \"1\",", "}"};
    FillPlan();
    EXPECT_FALSE(progress.LoadFromFile("/inst/app.ombrel.progress"));
    ExpectEmptyPlan();
    ASSERT_EQ(messages->reports.size(), 1u);
    EXPECT_EQ(messages->reports[0].text,
              "bad progress data in /inst/app.ombrel.progress: Der Eingabewert ist kein gültiges "
              "Objekt");

    // An empty file is no document: false, nothing reported.
    io->files["empty"] = {};
    FillPlan();
    messages->reports.clear();
    EXPECT_FALSE(progress.LoadFromFile("empty"));
    ExpectEmptyPlan();
    EXPECT_TRUE(messages->reports.empty());
}

TEST_F(ProgressTest, WhatIsLeftToDo) {
    struct Case {
        const char* what;
        size_t packages;
        Strings doomedFiles;
        Strings doomedPackages;
        bool nothingTodo;
        bool hasToDoIO;
    };
    const Case cases[] = {
        {"empty", 0, {}, {}, true, false},
        {"only doomed packages", 0, {}, {"old"}, false, false},
        {"only doomed files", 0, {"a"}, {}, false, true},
        {"only packages", 1, {}, {}, false, true},
        {"everything", 2, {"a"}, {"old"}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        progress.Packages().clear();
        for (size_t i = 0; i < c.packages; ++i) {
            progress.Packages().push_back(std::make_unique<TPackage>());
        }
        progress.DoomedFiles() = c.doomedFiles;
        progress.DoomedPackages() = c.doomedPackages;
        EXPECT_EQ(progress.NothingTodo(), c.nothingTodo);
        EXPECT_EQ(progress.HasToDoIO(), c.hasToDoIO);
    }
}

TEST_F(ProgressTest, RemovesPackagesByIdentityOrExactName) {
    ASSERT_TRUE(progress.SetApiVersionResponse(R"({"packages": [
        {"id": 1, "name": "core", "files": ["*"]}, {"id": 2, "name": "app", "files": ["*"]},
        {"id": 3, "name": "core", "files": ["*"]}, {"id": 4, "name": "App", "files": ["*"]}]})"));
    auto ids = [this] {
        std::vector<int32_t> result;
        for (const auto& p : progress.Packages()) result.push_back(p->Id);
        return result;
    };

    TPackage lookalike = *progress.Packages()[2];
    progress.RemoveFromPackages(&lookalike);  // same fields, another object
    EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2, 3, 4}));
    progress.RemoveFromPackages(progress.Packages()[2].get());
    EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2, 4}));
    progress.RemoveFromPackages(nullptr);
    EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2, 4}));

    progress.RemovePackage("APP");
    EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2, 4}));
    progress.RemovePackage("App");
    EXPECT_EQ(ids(), (std::vector<int32_t>{1, 2}));

    ASSERT_TRUE(progress.SetApiVersionResponse(R"({"packages": [
        {"id": 1, "name": "core", "files": ["*"]}, {"id": 2, "name": "core", "files": ["*"]}]})"));
    progress.RemovePackage("core");
    EXPECT_EQ(ids(), (std::vector<int32_t>{2}));
}

}  // namespace
}  // namespace ombrel

namespace ombrel {
namespace {

// Sizes and digests of the server's packages are kept in the progress file, after the other
// members, so that a continued run checks what the first one was told; the source members
// serve package mode in source form.
TEST_F(ProgressTest, KeepsSizesAndDigests) {
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
    ASSERT_TRUE(progress.SetApiVersionResponse(
        R"({"version": "2", "packages": [{"id": 1, "name": "core", "files": ["*"], "size": 12,
            "sha256": ")" + a + R"("}, {"id": 2, "name": "old", "files": ["*"]}]})"));
    ASSERT_TRUE(progress.SaveToFile("p"));
    EXPECT_EQ(io->files["p"], (Strings{
                                  "{",
                                  "    \"version\": \"2\",",
                                  "    \"packages\": [",
                                  "        {",
                                  "            \"id\": 1,",
                                  "            \"name\": \"core\",",
                                  "            \"build\": 0,",
                                  "            \"files\": [",
                                  "                \"*\"",
                                  "            ],",
                                  "            \"size\": 12,",
                                  "            \"sha256\": \"" + a + "\"",
                                  "        },",
                                  "        {",
                                  "            \"id\": 2,",
                                  "            \"name\": \"old\",",
                                  "            \"build\": 0,",
                                  "            \"files\": [",
                                  "                \"*\"",
                                  "            ]",
                                  "        }",
                                  "    ]",
                                  "}",
                              }));
    TProgress loaded(io, messages);
    ASSERT_TRUE(loaded.LoadFromFile("p"));
    EXPECT_EQ(loaded.Packages()[0]->Size, 12u);
    EXPECT_EQ(loaded.Packages()[0]->Sha256, a);
    EXPECT_FALSE(loaded.Packages()[1]->Size.has_value());
    EXPECT_EQ(loaded.Packages()[1]->Sha256, "");

    const std::string package = R"({"id": 3, "name": "tool", "version": "1.0", "size": 5,
        "sha256": ")" + b + R"(", "source_size": 9, "source_sha256": ")" + c + R"("})";
    ASSERT_TRUE(progress.SetApiPackageResponse(package, TPackageMode::binary));
    EXPECT_EQ(progress.Packages()[0]->Size, 5u);
    EXPECT_EQ(progress.Packages()[0]->Sha256, b);
    ASSERT_TRUE(progress.SetApiPackageResponse(package, TPackageMode::source));
    EXPECT_EQ(progress.Packages()[0]->Size, 9u);
    EXPECT_EQ(progress.Packages()[0]->Sha256, c);
}

TEST_F(ProgressTest, MalformedSizesAndDigestsAreRefused) {
    const std::string cases[] = {
        R"("size": -1)", R"("size": 1.5)", R"("size": "12")", R"("sha256": "abc")",
        R"("sha256": ")" + std::string(64, 'A') + R"(")", R"("sha256": 12)",
    };
    for (const auto& member : cases) {
        messages->reports.clear();
        EXPECT_FALSE(progress.SetApiVersionResponse(
            R"({"version": "2", "packages": [{"id": 1, "files": ["*"], )" + member + "}]}"))
            << member;
        EXPECT_EQ(messages->Count(Level::Error), 1u) << member;
        EXPECT_TRUE(progress.Packages().empty()) << member;
    }
}

}  // namespace
}  // namespace ombrel
