// The manifest on the real file system, byte for byte.

#include <gtest/gtest.h>

#include <filesystem>

#include "io/io_system.h"
#include "state/ombrel_file.h"
#include "tests/state/state_files_test.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

TEST_F(StateFilesTest, StoredManifestIsByteForByteTheDocumentedFile) {
    TOmbrelFile manifest(io);
    manifest.AppName = "Demo";
    manifest.Version = "2.1";
    manifest.AddOrUpdatePackage("core", "2.1.0");
    manifest.AddFiles({"Demo.exe", "lib\\core.dll"});
    const std::string path = folder / "Demo.ombrel";
    ASSERT_TRUE(manifest.Store(path)) << messages->Dump();
    EXPECT_EQ(folder.Read("Demo.ombrel"),
              "\xEF\xBB\xBF"
              ":app Demo\r\n"
              "\r\n"
              ":version 2.1\r\n"
              "\r\n"
              ":packages\r\n"
              "core 2.1.0\r\n"
              "\r\n"
              ":files\r\n"
              "Demo.exe\r\n"
              "lib\\core.dll\r\n"
              "\r\n");

    TOmbrelFile loaded(io);
    ASSERT_TRUE(loaded.Load(path));
    EXPECT_EQ(loaded.AppName, "Demo");
    EXPECT_EQ(loaded.Version, "2.1");
    ASSERT_EQ(loaded.Packages().size(), 1u);
    EXPECT_EQ(loaded.Packages()[0].Version, "2.1.0");
    EXPECT_EQ(loaded.Files(), (TStrings{"Demo.exe", "lib\\core.dll"}));
    EXPECT_TRUE(messages->reports.empty()) << messages->Dump();
}

TEST_F(StateFilesTest, EmptyManifestOnDisk) {
    TOmbrelFile manifest(io);
    ASSERT_TRUE(manifest.Store(folder / "x.ombrel"));
    EXPECT_EQ(folder.Read("x.ombrel"),
              "\xEF\xBB\xBF:app\r\n\r\n:version\r\n\r\n:packages\r\n\r\n:files\r\n\r\n");
}

TEST_F(StateFilesTest, ManifestLoadFailsOnAMissingFileAndStoreInAMissingFolder) {
    TOmbrelFile manifest(io);
    manifest.AppName = "Demo";
    EXPECT_FALSE(manifest.Load(folder / "missing.ombrel"));
    EXPECT_EQ(manifest.AppName, "Demo");
    EXPECT_FALSE(manifest.Store(folder / "no/such/folder/Demo.ombrel"));
    ASSERT_EQ(messages->Count(testing::Level::Error), 2u) << messages->Dump();
    EXPECT_EQ(messages->reports[0].sender, "TIO");
}

}  // namespace
}  // namespace ombrel
