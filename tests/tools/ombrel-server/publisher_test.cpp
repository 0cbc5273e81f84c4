// Publishing into a store: packing, sharing unchanged packages, builds, refusals.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <filesystem>

#include "platform/crypto.h"
#include "tests/tools/ombrel-server/server_test_support.h"
#include "tools/ombrel-server/digest.h"
#include "tools/ombrel-server/release_store.h"
#include "tools/ombrel-server/zip_archive.h"

namespace ombrel::server {
namespace {

namespace fs = std::filesystem;
using ombrel::testing::CollectingMessages;
using ombrel::testing::Level;
using ombrel::testing::TempFolder;
using testing::FilePackage;
using testing::FolderPackage;
using testing::PublishOk;

// Writes a zip archive with the given raw entry names and contents.
void WriteRawZip(const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& entries) {
    int code = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    ASSERT_NE(za, nullptr);
    for (const auto& [name, content] : entries) {
        zip_source_t* src = zip_source_buffer(za, content.data(), content.size(), 0);
        ASSERT_GE(zip_file_add(za, name.c_str(), src, ZIP_FL_ENC_RAW), 0) << name;
    }
    ASSERT_EQ(zip_close(za), 0);
}

std::vector<std::string> StoreFiles(const std::string& store) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(FilesDir(store))) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TStoreIndex Load(const std::string& store) {
    TStoreIndex index;
    std::string error;
    EXPECT_TRUE(LoadIndex(store, index, error)) << error;
    return index;
}

class PublisherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tmp.Write("app/bin/run", "#!/bin/sh\necho run\n");
        chmod((tmp / "app/bin/run").c_str(), 0755);
        tmp.Write("app/README.txt", "readme 1\n");
        tmp.Write("data/a.dat", "data a\n");
        tmp.Write("data/notes.txt", "not installed\n");
        tmp.Write("tool", "tool 1\n");
    }
    std::vector<TPackageSpec> Packages() const {
        return {FolderPackage("core", tmp / "app"), FolderPackage("data", tmp / "data", {"*.dat"}),
                FilePackage("tool", tmp / "tool", "bin/tool")};
    }
    std::string Store() const { return tmp / "store"; }

    TempFolder tmp;
};

TEST_F(PublisherTest, PacksFoldersWithModesAndRecordsInstalledFiles) {
    auto published = PublishOk(Store(), "demo", "1.0", Packages());
    ASSERT_EQ(published.size(), 3u);
    TStoreIndex index = Load(Store());
    ASSERT_EQ(index.Releases.size(), 1u);
    EXPECT_EQ(index.Releases[0].Channel, "stable");
    EXPECT_EQ(index.Releases[0].Packages, (std::vector<int32_t>{1, 2, 3}));

    const TStoredPackage* core = index.PackageById(1);
    ASSERT_NE(core, nullptr);
    std::vector<TZipEntry> entries;
    std::string error;
    ASSERT_TRUE(ReadZipEntries(FilesDir(Store()) + "/" + core->StoredFile, entries, error))
        << error;
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Name, "README.txt");
    EXPECT_EQ(entries[0].Mode, 0644u);
    EXPECT_EQ(entries[1].Name, "bin/run");
    EXPECT_EQ(entries[1].Mode, 0755u);  // programs stay executable
    ASSERT_EQ(core->Installed.size(), 2u);
    EXPECT_EQ(core->Installed[1].Name, "bin/run");
    EXPECT_EQ(core->Installed[1].Md5, Md5OfText("#!/bin/sh\necho run\n"));
    EXPECT_TRUE(core->Filename.empty());

    const TStoredPackage* data = index.PackageById(2);
    ASSERT_EQ(data->Installed.size(), 1u);  // the mask keeps notes.txt out
    EXPECT_EQ(data->Installed[0].Name, "a.dat");
    EXPECT_EQ(data->Files, (std::vector<std::string>{"*.dat"}));

    const TStoredPackage* tool = index.PackageById(3);
    EXPECT_EQ(tool->Filename, "bin/tool");
    EXPECT_EQ(tool->Files, (std::vector<std::string>{"*"}));
    ASSERT_EQ(tool->Installed.size(), 1u);
    EXPECT_EQ(tool->Installed[0].Name, "bin/tool");
    EXPECT_EQ(tmp.Read(FilesDir(Store()) + "/" + tool->StoredFile), "tool 1\n");
}

// Size and SHA-256 of every stored file are recorded; a store written before they were has
// them filled in by the next publication, also for packages that release does not touch.
TEST_F(PublisherTest, RecordsSizesAndDigestsAndFillsThemInForOlderStores) {
    tmp.Write("src/a.c", "int a;\n");
    auto packages = Packages();
    packages[2].SourcePath = tmp / "src/a.c";
    PublishOk(Store(), "demo", "1.0", packages);
    TStoreIndex index = Load(Store());
    for (const auto& p : index.Packages) {
        std::string bytes = tmp.Read(FilesDir(Store()) + "/" + p.StoredFile);
        EXPECT_EQ(p.Size, bytes.size()) << p.Name;
        EXPECT_EQ(p.Sha256, Sha256Hex(bytes)) << p.Name;
    }
    const TStoredPackage* tool = index.PackageById(3);
    EXPECT_EQ(tool->SourceSize, 7u);
    EXPECT_EQ(tool->SourceSha256, Sha256Hex("int a;\n"));

    // An index as older publishers wrote it: no digests.
    std::string text = tmp.Read(IndexPath(Store()));
    for (auto& p : index.Packages) {
        p.Sha256.clear();
        p.SourceSha256.clear();
    }
    std::string error;
    ASSERT_TRUE(SaveIndex(Store(), index, error)) << error;
    ASSERT_EQ(Load(Store()).Packages[0].Sha256, "");
    PublishOk(Store(), "other", "1.0", {FilePackage("x", tmp / "tool", "x")});
    TStoreIndex filled = Load(Store());
    for (const auto& p : filled.Packages) {
        EXPECT_EQ(p.Sha256, Sha256Hex(tmp.Read(FilesDir(Store()) + "/" + p.StoredFile))) << p.Name;
    }
    EXPECT_EQ(filled.PackageById(3)->SourceSha256, Sha256Hex("int a;\n"));
}

TEST_F(PublisherTest, UnchangedPackagesKeepIdAndVersionChangedOnesGetTheRelease) {
    PublishOk(Store(), "demo", "1.0", Packages());
    auto same = PublishOk(Store(), "demo", "1.1", Packages());
    for (const auto& p : same) {
        EXPECT_TRUE(p.Reused) << p.Name;
        EXPECT_EQ(p.FullVersion, "1.0") << p.Name;
    }
    EXPECT_EQ(same[0].Id, 1);

    tmp.Write("app/README.txt", "readme 2\n");  // content change
    chmod((tmp / "tool").c_str(), 0755);        // mode change of a single file
    tmp.Write("data/notes.txt", "masked out, yet part of the archive\n");
    auto changed = PublishOk(Store(), "demo", "1.2", Packages());
    ASSERT_EQ(changed.size(), 3u);
    for (const auto& p : changed) {
        EXPECT_FALSE(p.Reused) << p.Name;
        EXPECT_EQ(p.FullVersion, "1.2") << p.Name;
        EXPECT_GT(p.Id, 3) << p.Name;
    }
    // Ids stay unique across the store.
    TStoreIndex index = Load(Store());
    EXPECT_EQ(index.Packages.size(), 6u);
    EXPECT_EQ(index.NextId, 7);
}

TEST_F(PublisherTest, SameVersionWithOtherContentGetsABuild) {
    PublishOk(Store(), "demo", "1.0", Packages());
    tmp.Write("app/README.txt", "beta readme\n");
    auto beta = PublishOk(Store(), "demo", "1.0", Packages(), "beta");
    EXPECT_EQ(beta[0].FullVersion, "1.0.1");  // core: new content, version 1.0 taken
    EXPECT_TRUE(beta[1].Reused);
    TStoreIndex index = Load(Store());
    const TStoredPackage* core = index.PackageById(beta[0].Id);
    EXPECT_EQ(core->Version, "1.0");
    EXPECT_EQ(core->Build, 1);
    // Every (name, full version) names one content, as installers cache packages by it.
    EXPECT_EQ(index.PackageByVersion("core", "1.0")->Id, 1);
    EXPECT_EQ(index.PackageByVersion("core", "1.0.1")->Id, beta[0].Id);
}

TEST_F(PublisherTest, ExistingArchivesAndSourcesAreStoredAsGiven) {
    std::vector<TZipEntry> packed;
    std::string error;
    tmp.Write("lib/x.so", "x");
    tmp.Write("lib/y.txt", "y");
    ASSERT_TRUE(WriteZipFromFolder(tmp / "lib", tmp / "lib.zip", packed, error)) << error;
    tmp.Write("src/main.cpp", "int main() {}\n");
    tmp.Write("tool.tar.gz", "source of the tool");

    TPackageSpec lib;
    lib.Name = "lib";
    lib.Kind = TPackageKind::Archive;
    lib.Path = tmp / "lib.zip";
    lib.Masks = {"*.so"};
    lib.SourcePath = tmp / "src";
    TPackageSpec tool = FilePackage("tool", tmp / "tool", "tool");
    tool.SourcePath = tmp / "tool.tar.gz";
    PublishOk(Store(), "demo", "1.0", {lib, tool});

    TStoreIndex index = Load(Store());
    const TStoredPackage* p = index.PackageById(1);
    EXPECT_EQ(tmp.Read(FilesDir(Store()) + "/" + p->StoredFile), tmp.Read("lib.zip"));
    ASSERT_EQ(p->Installed.size(), 1u);
    EXPECT_EQ(p->Installed[0].Name, "x.so");
    ASSERT_FALSE(p->SourceFile.empty());
    std::vector<TZipEntry> source;
    ASSERT_TRUE(ReadZipEntries(FilesDir(Store()) + "/" + p->SourceFile, source, error)) << error;
    ASSERT_EQ(source.size(), 1u);
    EXPECT_EQ(source[0].Name, "main.cpp");
    const TStoredPackage* t = index.PackageById(2);
    EXPECT_EQ(tmp.Read(FilesDir(Store()) + "/" + t->SourceFile), "source of the tool");
    EXPECT_EQ(t->SourceFile.substr(t->SourceFile.size() - 3), ".gz");
}

TEST_F(PublisherTest, RefusalsLeaveTheStoreUnchanged) {
    PublishOk(Store(), "demo", "1.0", Packages());
    const std::string indexBefore = tmp.Read(IndexPath(Store()));
    const auto filesBefore = StoreFiles(Store());

    WriteRawZip(tmp / "evil.zip", {{"ok.txt", "fine"}, {"../../evil.txt", "escape"}});
    WriteRawZip(tmp / "abs.zip", {{"/etc/evil", "rooted"}});
    // Two spellings of one name: an installer would write the same file twice.
    WriteRawZip(tmp / "twice.zip", {{"dir/a.txt", "1"}, {"dir\\a.txt", "2"}});
    tmp.Write("broken.zip", "PK this is not an archive");
    fs::create_directories(tmp / "empty");
    tmp.Write("latin1/caf\xe9.txt", "not UTF-8");
    // Names that an installation's manifest would read back otherwise.
    WriteRawZip(tmp / "colon.zip", {{":files", "x"}});
    tmp.Write("blank/ lead.txt", "x");
    auto archive = [&](const std::string& file) {
        TPackageSpec spec = FolderPackage("core", tmp / file);
        spec.Kind = TPackageKind::Archive;
        return spec;
    };
    struct {
        const char* label;
        std::string project;
        std::string version;
        std::vector<TPackageSpec> packages;
        const char* errorPart;
    } cases[] = {
        {"release exists", "demo", "1.0", Packages(), "exists already"},
        {"bad project", "de mo", "2.0", Packages(), "invalid project"},
        {"bad version", "demo", "2/0", Packages(), "invalid version"},
        {"no packages", "demo", "2.0", {}, "at least one package"},
        {"same name twice", "demo", "2.0", {Packages()[0], Packages()[0]}, "given twice"},
        {"missing folder", "demo", "2.0", {archive("nothing-here")}, "not a file"},
        {"empty folder", "demo", "2.0", {FolderPackage("core", tmp / "empty")}, "holds no files"},
        {"entry leaves the folder", "demo", "2.0", {archive("evil.zip")}, "../../evil.txt"},
        {"rooted entry", "demo", "2.0", {archive("abs.zip")}, "/etc/evil"},
        {"entry twice", "demo", "2.0", {archive("twice.zip")}, "given twice"},
        {"name not UTF-8",
         "demo",
         "2.0",
         {FolderPackage("core", tmp / "latin1")},
         "not valid UTF-8"},
        {"not an archive", "demo", "2.0", {archive("broken.zip")}, "not a readable zip"},
        {"single mask with folder",
         "demo",
         "2.0",
         {FolderPackage("core", tmp / "app", {"bin/*"})},
         "path separator"},
        {"install name leaves",
         "demo",
         "2.0",
         {FilePackage("tool", tmp / "tool", "../tool")},
         "unusable file name"},
        {"entry beginning with a colon", "demo", "2.0", {archive("colon.zip")},
         "':files' cannot be recorded in an installation's manifest: it begins with ':'"},
        {"file beginning with a blank", "demo", "2.0", {FolderPackage("core", tmp / "blank")},
         "' lead.txt' cannot be recorded in an installation's manifest"},
        {"install name ending with a blank", "demo", "2.0",
         {FilePackage("tool", tmp / "tool", "bin/tool ")},
         "'bin/tool ' cannot be recorded in an installation's manifest"},
        // A later package fails after an earlier one was packed: nothing of it stays.
        {"second package fails",
         "demo",
         "2.0",
         {FolderPackage("fresh", tmp / "data"), archive("evil.zip")},
         "evil"},
    };
    for (const auto& c : cases) {
        TPublishRequest request;
        request.Store = Store();
        request.Project = c.project;
        request.Version = c.version;
        request.Packages = c.packages;
        CollectingMessages messages;
        EXPECT_FALSE(Publish(request, messages)) << c.label;
        auto errors = messages.Texts(Level::Error);
        ASSERT_EQ(errors.size(), 1u) << c.label << "\n" << messages.Dump();
        EXPECT_THAT(errors[0], ::testing::HasSubstr(c.errorPart)) << c.label;
        EXPECT_EQ(tmp.Read(IndexPath(Store())), indexBefore) << c.label;
        EXPECT_EQ(StoreFiles(Store()), filesBefore) << c.label;  // no leftovers, no staging
    }
}

TEST_F(PublisherTest, ReplaceSwapsTheReleaseOfTheSameVersion) {
    PublishOk(Store(), "demo", "1.0", Packages());
    tmp.Write("app/README.txt", "fixed\n");
    TPublishRequest request;
    request.Store = Store();
    request.Project = "demo";
    request.Version = "1.0";
    request.Packages = Packages();
    request.Replace = true;
    CollectingMessages messages;
    ASSERT_TRUE(Publish(request, messages)) << messages.Dump();
    TStoreIndex index = Load(Store());
    ASSERT_EQ(index.Releases.size(), 1u);
    EXPECT_EQ(index.Releases[0].Packages, (std::vector<int32_t>{4, 2, 3}));
    EXPECT_EQ(index.PackageById(4)->FullVersion(), "1.0.1");
}

TEST_F(PublisherTest, RemovesWhatAnInterruptedPublicationLeft) {
    PublishOk(Store(), "demo", "1.0", Packages());
    tmp.Write(FilesDir(Store()) + "/.staging-1-2/0.pkg", "half");
    tmp.Write(IndexPath(Store()) + ".tmp-1-2", "{ half");
    PublishOk(Store(), "demo", "1.1", Packages());
    EXPECT_FALSE(fs::exists(FilesDir(Store()) + "/.staging-1-2"));
    EXPECT_FALSE(fs::exists(IndexPath(Store()) + ".tmp-1-2"));
    EXPECT_EQ(Load(Store()).Releases.size(), 2u);
}

TEST_F(PublisherTest, WarnsAboutMasksThatMatchNothing) {
    CollectingMessages messages;
    TPublishRequest request;
    request.Store = Store();
    request.Project = "demo";
    request.Version = "1.0";
    request.Packages = {FolderPackage("data", tmp / "data", {"*.none"})};
    ASSERT_TRUE(Publish(request, messages)) << messages.Dump();
    EXPECT_THAT(messages.Texts(Level::Warning),
                ::testing::ElementsAre(::testing::HasSubstr("installs no file")));
}

}  // namespace
}  // namespace ombrel::server
