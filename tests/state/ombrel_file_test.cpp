#include "state/ombrel_file.h"

#include <gtest/gtest.h>

#include <random>

#include "io/text.h"

#include "tests/state/memory_io.h"

namespace ombrel {
namespace {

using testing::MemoryIO;
using testing::RenderTextFile;

class OmbrelFileTest : public ::testing::Test {
protected:
    std::shared_ptr<MemoryIO> io = std::make_shared<MemoryIO>();

    // Loads a manifest made of the given lines into a fresh object.
    TOmbrelFile LoadLines(const TStrings& lines) {
        io->files["m.ombrel"] = lines;
        TOmbrelFile manifest(io);
        EXPECT_TRUE(manifest.Load("m.ombrel"));
        return manifest;
    }
};

const char kExampleBytes[] =
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
    "lib/core.dll\r\n"
    "\r\n";

TOmbrelFile ExampleManifest(IOInterfacePtr io) {
    TOmbrelFile manifest(std::move(io));
    manifest.AppName = "Demo";
    manifest.Version = "2.1";
    manifest.AddOrUpdatePackage("core", "2.1.0");
    manifest.AddFiles({"Demo.exe", "lib/core.dll"});
    return manifest;
}

TEST_F(OmbrelFileTest, StoreWritesTheFourBlocksInOrder) {
    TOmbrelFile manifest = ExampleManifest(io);
    ASSERT_TRUE(manifest.Store("m.ombrel"));
    EXPECT_EQ(RenderTextFile(io->files["m.ombrel"]), kExampleBytes);
}

TEST_F(OmbrelFileTest, StoreAnswersTheResultOfSetLines) {
    TOmbrelFile manifest = ExampleManifest(io);
    io->failSetLines = true;
    EXPECT_FALSE(manifest.Store("m.ombrel"));
    EXPECT_EQ(io->setLinesCalls, 1);
}

TEST_F(OmbrelFileTest, EmptyManifestWritesHeadersAloneAndLoadsBackEmpty) {
    TOmbrelFile manifest(io);
    manifest.AddOrUpdatePackage("core", "");
    ASSERT_TRUE(manifest.Store("m.ombrel"));
    EXPECT_EQ(io->files["m.ombrel"],
              (TStrings{":app", "", ":version", "", ":packages", "core ", "", ":files", ""}));

    TOmbrelFile loaded(io);
    loaded.AppName = "stale";
    loaded.Version = "stale";
    ASSERT_TRUE(loaded.Load("m.ombrel"));
    EXPECT_EQ(loaded.AppName, "");
    EXPECT_EQ(loaded.Version, "");
    ASSERT_EQ(loaded.Packages().size(), 1u);
    EXPECT_EQ(loaded.Packages()[0].Name, "core");
    EXPECT_EQ(loaded.Packages()[0].Version, "");
    EXPECT_TRUE(loaded.Files().empty());
}

TEST_F(OmbrelFileTest, RoundTripKeepsEverything) {
    TOmbrelFile manifest(io);
    manifest.AppName = "My App";
    manifest.Version = "3.0 beta";  // the value is the whole rest of the header
    manifest.AddOrUpdatePackage("core", "3.0.1");
    manifest.AddOrUpdatePackage("Extras", "1");
    manifest.AddFiles({"b.txt", "a.txt", "sub/\xC3\xA4.txt"});
    ASSERT_TRUE(manifest.Store("m.ombrel"));

    TOmbrelFile loaded(io);
    ASSERT_TRUE(loaded.Load("m.ombrel"));
    EXPECT_EQ(loaded.AppName, "My App");
    EXPECT_EQ(loaded.Version, "3.0 beta");
    ASSERT_EQ(loaded.Packages().size(), 2u);
    EXPECT_EQ(loaded.Packages()[0].Name, "core");
    EXPECT_EQ(loaded.Packages()[0].Version, "3.0.1");
    EXPECT_EQ(loaded.Packages()[1].Name, "Extras");
    EXPECT_EQ(loaded.Packages()[1].Version, "1");
    EXPECT_EQ(loaded.Files(), (TStrings{"b.txt", "a.txt", "sub/\xC3\xA4.txt"}));
}

TEST_F(OmbrelFileTest, PackageLinesSplitAtBlanksOnly) {
    struct Case {
        const char* line;
        const char* name;
        const char* version;
    };
    const Case cases[] = {
        {"my pkg 1.0", "my", "pkg"},          // a blank in a name is not kept apart
        {"core", "core", ""},
        {"core   ", "core", ""},
        {"core    2.0", "core", "2.0"},       // runs of blanks give no empty piece
        {"a\tb c", "a\tb", "c"},              // a tab does not split
        {"\"my pkg\" 1.0", "\"my pkg\"", "1.0"},  // quotes keep their stretch and stay
        {"core \"1 0\" x", "core", "\"1 0\""},
        {"x\"a b\"y z", "x\"a b\"y", "z"},
        {"\"open ended", "\"open ended", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        TOmbrelFile manifest = LoadLines({":packages", c.line});
        ASSERT_EQ(manifest.Packages().size(), 1u);
        EXPECT_EQ(manifest.Packages()[0].Name, c.name);
        EXPECT_EQ(manifest.Packages()[0].Version, c.version);
    }
}

TEST_F(OmbrelFileTest, LoadReadsBlocksAsTheStorageDoes) {
    TOmbrelFile manifest = LoadLines({":files", "a", "", "   ", " b ", "a", ":app  X  ",
                                      ":packages", "p 1", "", "q"});
    EXPECT_EQ(manifest.Files(), (TStrings{"a", "b", "a"}));  // duplicates kept as listed
    EXPECT_EQ(manifest.AppName, "X");
    EXPECT_EQ(manifest.Version, "");
    ASSERT_EQ(manifest.Packages().size(), 2u);
    EXPECT_EQ(manifest.Packages()[1].Name, "q");

    TOmbrelFile none = LoadLines({"nothing here"});
    EXPECT_TRUE(none.Files().empty());
    EXPECT_TRUE(none.Packages().empty());
}

TEST_F(OmbrelFileTest, LoadReplacesEarlierContentButAFailedLoadChangesNothing) {
    TOmbrelFile manifest = ExampleManifest(io);
    EXPECT_FALSE(manifest.Load("missing.ombrel"));
    EXPECT_EQ(manifest.AppName, "Demo");
    EXPECT_EQ(manifest.Files().size(), 2u);
    EXPECT_EQ(manifest.Packages().size(), 1u);

    io->files["other.ombrel"] = {":app Other", ":files", "x"};
    ASSERT_TRUE(manifest.Load("other.ombrel"));
    EXPECT_EQ(manifest.AppName, "Other");
    EXPECT_EQ(manifest.Version, "");
    EXPECT_EQ(manifest.Files(), (TStrings{"x"}));
    EXPECT_TRUE(manifest.Packages().empty());
}

TEST_F(OmbrelFileTest, FileEditsCompareCaseInsensitively) {
    TOmbrelFile manifest(io);
    EXPECT_TRUE(manifest.AddFile("lib\\a.dll"));
    EXPECT_TRUE(manifest.AddFile("Lib\\A.dll"));
    manifest.AddFiles({"B.txt", "b.TXT", "c"});
    EXPECT_EQ(manifest.Files(), (TStrings{"lib\\a.dll", "B.txt", "c"}));

    EXPECT_TRUE(manifest.DeleteFile("LIB\\a.DLL"));
    EXPECT_TRUE(manifest.DeleteFile("missing"));
    EXPECT_EQ(manifest.Files(), (TStrings{"B.txt", "c"}));

    // Only A to Z fold: other letters must match exactly.
    manifest.AddFile("\xC3\xA4");
    manifest.AddFile("\xC3\x84");
    EXPECT_EQ(manifest.Files().size(), 4u);
}

TEST_F(OmbrelFileTest, DeleteFileRemovesOnlyTheFirstOfDuplicates) {
    TOmbrelFile manifest = LoadLines({":files", "a", "b", "A"});
    manifest.DeleteFile("a");
    EXPECT_EQ(manifest.Files(), (TStrings{"b", "A"}));
    manifest.DeleteFile("a");
    EXPECT_EQ(manifest.Files(), (TStrings{"b"}));
}

TEST_F(OmbrelFileTest, PackageEditsCompareCaseInsensitively) {
    TOmbrelFile manifest = LoadLines({":packages", "core 1.0", "extra 1", "Core 0.9"});
    EXPECT_TRUE(manifest.AddOrUpdatePackage("CORE", "2.0"));
    EXPECT_TRUE(manifest.AddOrUpdatePackage("new", "1"));
    ASSERT_EQ(manifest.Packages().size(), 4u);
    EXPECT_EQ(manifest.Packages()[0].Name, "core");  // the stored spelling stays
    EXPECT_EQ(manifest.Packages()[0].Version, "2.0");
    EXPECT_EQ(manifest.Packages()[2].Version, "0.9");  // only the first match
    EXPECT_EQ(manifest.Packages()[3].Name, "new");

    EXPECT_TRUE(manifest.DeletePackage("EXTRA"));
    EXPECT_TRUE(manifest.DeletePackage("missing"));
    EXPECT_TRUE(manifest.DeletePackage("core"));
    ASSERT_EQ(manifest.Packages().size(), 2u);
    EXPECT_EQ(manifest.Packages()[0].Name, "Core");
    EXPECT_EQ(manifest.Packages()[1].Name, "new");
}

// The rules in their plainest form: a scan from the front, names lowered on both sides.
struct ReferenceManifest {
    TStrings files;
    std::vector<TOmbrelFile::TPackage> packages;

    static std::ptrdiff_t Find(const TStrings& names, const std::string& name) {
        for (size_t i = 0; i < names.size(); ++i) {
            if (LowerAscii(names[i]) == LowerAscii(name)) return static_cast<std::ptrdiff_t>(i);
        }
        return -1;
    }
    TStrings PackageNames() const {
        TStrings names;
        for (const auto& p : packages) names.push_back(p.Name);
        return names;
    }
    void AddFile(const std::string& name) {
        if (Find(files, name) < 0) files.push_back(name);
    }
    void DeleteFile(const std::string& name) {
        if (auto i = Find(files, name); i >= 0) files.erase(files.begin() + i);
    }
    void AddOrUpdatePackage(const std::string& name, const std::string& version) {
        if (auto i = Find(PackageNames(), name); i >= 0) {
            packages[static_cast<size_t>(i)].Version = version;
        } else {
            packages.push_back({name, version});
        }
    }
    void DeletePackage(const std::string& name) {
        if (auto i = Find(PackageNames(), name); i >= 0) packages.erase(packages.begin() + i);
    }
};

// Long mixed runs of edits, reads in between, on few names in several spellings (so that
// duplicates, removals of the first of them and re-additions all occur), must leave exactly
// what the plain scan leaves.
TEST_F(OmbrelFileTest, EditsMatchAPlainScanFromTheFront) {
    const TStrings spellings = {"a.txt", "A.TXT", "A.txt", "lib/b.dll", "LIB/B.DLL",
                                "c",     "C",     "d/e",   "D/E",       "\xC3\xA4"};
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 random(seed);
        auto pick = [&] { return spellings[random() % spellings.size()]; };
        TStrings loadedFiles = {":files"};
        TStrings loaded = {":packages"};
        ReferenceManifest reference;
        for (int i = 0; i < 6; ++i) {
            reference.files.push_back(pick());  // loading keeps duplicates
            loadedFiles.push_back(reference.files.back());
            reference.packages.push_back({pick(), std::to_string(i)});
            loaded.push_back(reference.packages.back().Name + " " + std::to_string(i));
        }
        loaded.push_back("");
        loaded.insert(loaded.end(), loadedFiles.begin(), loadedFiles.end());
        TOmbrelFile manifest = LoadLines(loaded);
        for (int step = 0; step < 200; ++step) {
            const std::string name = pick();
            switch (random() % 5) {
                case 0: manifest.AddFile(name), reference.AddFile(name); break;
                case 1: manifest.DeleteFile(name), reference.DeleteFile(name); break;
                case 2:
                    manifest.AddOrUpdatePackage(name, std::to_string(step));
                    reference.AddOrUpdatePackage(name, std::to_string(step));
                    break;
                case 3: manifest.DeletePackage(name), reference.DeletePackage(name); break;
                case 4: break;
            }
            if (random() % 3 != 0) continue;
            ASSERT_EQ(manifest.Files(), reference.files) << "seed " << seed << " step " << step;
            ASSERT_EQ(manifest.Packages().size(), reference.packages.size())
                << "seed " << seed << " step " << step;
            for (size_t i = 0; i < reference.packages.size(); ++i) {
                EXPECT_EQ(manifest.Packages()[i].Name, reference.packages[i].Name);
                EXPECT_EQ(manifest.Packages()[i].Version, reference.packages[i].Version);
            }
        }
    }
}

TEST_F(OmbrelFileTest, WhatTheChecksAcceptReadsBackUnchanged) {
    // Every value a check accepts survives Store and Load; what it refuses would not.
    struct Case {
        std::string text;
        bool value, name, version, file;
    } cases[] = {
        {"1.0", true, true, true, true},
        {"", true, false, true, false},
        {"bin/run.sh", true, true, true, true},
        {"with blank", true, false, false, true},
        {"1.0\n:files\n/etc/hostname", false, false, false, false},
        {"a\rb", false, false, false, false},
        {"tab\there", false, false, false, false},
        {" lead", false, false, false, false},
        {"trail ", false, false, false, false},
        {":colon", true, false, true, false},
        {"in:side", true, true, true, true},
        {"quo\"te", true, false, false, true},
        {"ümlaut", true, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ManifestValueFault(c.text).empty(), c.value) << ManifestValueFault(c.text);
        EXPECT_EQ(ManifestPackageFault(c.text, true).empty(), c.name);
        EXPECT_EQ(ManifestPackageFault(c.text, false).empty(), c.version);
        EXPECT_EQ(ManifestFileFault(c.text).empty(), c.file) << ManifestFileFault(c.text);

        TOmbrelFile stored(io);
        stored.AppName = c.value ? c.text : "a";
        stored.Version = c.value ? c.text : "1";
        stored.AddOrUpdatePackage(c.name ? c.text : "p", c.version ? c.text : "1");
        stored.AddFile(c.file ? c.text : "f");
        ASSERT_TRUE(stored.Store("m.ombrel"));
        TOmbrelFile loaded(io);
        ASSERT_TRUE(loaded.Load("m.ombrel"));
        EXPECT_EQ(loaded.AppName, stored.AppName);
        EXPECT_EQ(loaded.Version, stored.Version);
        ASSERT_EQ(loaded.Packages().size(), 1u);
        EXPECT_EQ(loaded.Packages()[0].Name, stored.Packages()[0].Name);
        EXPECT_EQ(loaded.Packages()[0].Version, stored.Packages()[0].Version);
        EXPECT_EQ(loaded.Files(), stored.Files());
    }
}

}  // namespace
}  // namespace ombrel
