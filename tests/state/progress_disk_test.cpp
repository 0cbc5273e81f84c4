// The progress file on the real file system, byte for byte.

#include <gtest/gtest.h>

#include <filesystem>

#include "io/io_system.h"
#include "state/progress.h"
#include "tests/state/state_files_test.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

TEST_F(StateFilesTest, SavedProgressFileIsByteExact) {
    TProgress progress(io, messages);
    ASSERT_TRUE(progress.SetApiVersionResponse(R"({"version": "2.1", "packages": [
        {"id": 7, "name": "core", "version": "2.1.0", "build": 9, "updated_at": "x",
         "files": ["*"]}], "doomed_files": ["lib\\old.dll"]})"));
    const std::string path = folder / "Demo.ombrel.progress";
    ASSERT_TRUE(progress.SaveToFile(path)) << messages->Dump();
    EXPECT_EQ(folder.Read("Demo.ombrel.progress"),
              "\xEF\xBB\xBF"
              "{\r\n"
              "    \"version\": \"2.1\",\r\n"
              "    \"packages\": [\r\n"
              "        {\r\n"
              "            \"id\": 7,\r\n"
              "            \"name\": \"core\",\r\n"
              "            \"version\": \"2.1.0\",\r\n"
              "            \"build\": 0,\r\n"
              "            \"files\": [\r\n"
              "                \"*\"\r\n"
              "            ]\r\n"
              "        }\r\n"
              "    ],\r\n"
              "    \"doomed_files\": [\r\n"
              "        \"lib\\\\old.dll\"\r\n"
              "    ]\r\n"
              "}\r\n");

    TProgress loaded(io, messages);
    ASSERT_TRUE(loaded.LoadFromFile(path));
    EXPECT_EQ(loaded.Version, "2.1");
    ASSERT_EQ(loaded.Packages().size(), 1u);
    EXPECT_EQ(loaded.Packages()[0]->Name, "core");
    EXPECT_EQ(loaded.DoomedFiles(), (TStrings{"lib\\old.dll"}));
    EXPECT_TRUE(messages->reports.empty()) << messages->Dump();
}

TEST_F(StateFilesTest, EmptyPlanOnDisk) {
    TProgress progress(io, messages);
    const std::string path = folder / "p.progress";
    ASSERT_TRUE(progress.SaveToFile(path));
    EXPECT_EQ(folder.Read("p.progress"), "\xEF\xBB\xBF{\r\n}\r\n");
    EXPECT_TRUE(progress.LoadFromFile(path));
    EXPECT_TRUE(progress.NothingTodo());
}

TEST_F(StateFilesTest, ProgressFileThatCannotBeWrittenOrFound) {
    TProgress progress(io, messages);
    ASSERT_TRUE(progress.SetApiVersionResponse(R"({"version": "1", "doomed_files": ["a"]})"));
    EXPECT_FALSE(progress.SaveToFile(folder / "missing/p.progress"));
    EXPECT_EQ(progress.Version, "1");
    EXPECT_EQ(messages->Count(testing::Level::Error), 1u) << messages->Dump();

    messages->reports.clear();
    EXPECT_FALSE(progress.LoadFromFile(folder / "missing.progress"));
    EXPECT_FALSE(progress.LoadFromFile(folder.Path()));  // a folder is no file
    EXPECT_EQ(progress.DoomedFiles(), (TStrings{"a"}));
    EXPECT_TRUE(messages->reports.empty()) << messages->Dump();
}

TEST_F(StateFilesTest, HandWrittenProgressFileWithOtherLineEnds) {
    // LF-only lines without a byte-order mark, as an editor might leave them.
    folder.Write("p.progress", "{\n  \"version\": \"3\",\n  \"doomed_packages\": [\"x\"]\n}");
    TProgress progress(io, messages);
    ASSERT_TRUE(progress.LoadFromFile(folder / "p.progress")) << messages->Dump();
    EXPECT_EQ(progress.Version, "3");
    EXPECT_EQ(progress.DoomedPackages(), (TStrings{"x"}));
}

}  // namespace
}  // namespace ombrel
