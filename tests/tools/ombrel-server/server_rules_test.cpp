// The small rules of the server: version order, masks, publish arguments.

#include <gtest/gtest.h>

#include "tools/ombrel-server/file_masks.h"
#include "tools/ombrel-server/publisher.h"
#include "tools/ombrel-server/version_compare.h"

namespace ombrel::server {
namespace {

int Sign(int v) {
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

TEST(VersionOrder, ComparesPartsNumericallyOrAsText) {
    struct {
        const char* a;
        const char* b;
        int expected;
    } cases[] = {
        {"1.10", "1.9", 1},
        {"1.0", "1.0", 0},
        {"2.0", "10.0", -1},
        {"1.0.1", "1.0", 1},            // more parts rank higher
        {"1.0.1", "1.0.beta", 1},       // numbers above text
        {"1.0.alpha", "1.0.beta", -1},  // text by bytes
        {"1.02", "1.2", -1},            // equal numbers: ordered by text, never equal
        {"99999999999999999999.1", "99999999999999999999.0", 1},  // no overflow
        {"1.0-rc1", "1.0-rc2", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Sign(CompareVersions(c.a, c.b)), c.expected) << c.a << " vs " << c.b;
        EXPECT_EQ(Sign(CompareVersions(c.b, c.a)), -c.expected) << c.b << " vs " << c.a;
    }
}

TEST(FileMasks, SelectWhatTheEngineInstalls) {
    const std::vector<std::string> names = {"app",       "README.TXT",    "lib/core.so",
                                            "doc/a.txt", "doc/img/b.png", "noext"};
    using List = std::vector<std::string>;
    struct {
        List masks;
        List expected;
    } cases[] = {
        {{"*"}, names},
        // One mask: the bare name, letters without regard to case.
        {{"*.txt"}, {"README.TXT", "doc/a.txt"}},
        {{"*.*"}, names},  // alone, *.* takes names without a dot too
        {{"?oext"}, {"noext"}},
        {{"[a-c]*"}, {"app", "lib/core.so", "doc/a.txt", "doc/img/b.png"}},
        {{"[!a-c]*"}, {"README.TXT", "noext"}},
        // Several masks: the relative path, "*" crossing folders.
        {{"doc/*", "app"}, {"app", "doc/a.txt", "doc/img/b.png"}},
        {{"*.*", "none"}, {"README.TXT", "lib/core.so", "doc/a.txt", "doc/img/b.png"}},
    };
    for (const auto& c : cases) {
        std::string label;
        for (const auto& m : c.masks) label += m + " ";
        EXPECT_EQ(SelectInstalledFiles(c.masks, names), c.expected) << label;
    }
}

TEST(FileMasks, RefusesMasksTheEngineCannotUse) {
    std::string error;
    EXPECT_TRUE(CheckMasks({"*"}, error));
    EXPECT_TRUE(CheckMasks({"bin/*", "*.so"}, error));  // paths are fine with two masks
    EXPECT_FALSE(CheckMasks({}, error));
    EXPECT_FALSE(CheckMasks({" "}, error));
    EXPECT_FALSE(CheckMasks({"[abc", "*"}, error));
    EXPECT_FALSE(CheckMasks({"a|b"}, error));
    EXPECT_FALSE(CheckMasks({"bin/*"}, error));
    EXPECT_NE(error.find("bin/*"), std::string::npos);
}

TEST(PublishArguments, PackageFileAndSourceForms) {
    struct {
        const char* argument;
        bool singleFile;
        bool ok;
        const char* name;
        const char* path;
        std::vector<std::string> masks;
        const char* installName;
    } cases[] = {
        {"core=/no/such.zip", false, true, "core", "/no/such.zip", {"*"}, ""},
        {"core=/no/such.zip:*.dll,bin/*",
         false,
         true,
         "core",
         "/no/such.zip",
         {"*.dll", "bin/*"},
         ""},
        {"odd=/a:b/c.zip:", false, true, "odd", "/a:b/c.zip", {"*"}, ""},
        {"tool=/x/tool", true, true, "tool", "/x/tool", {"*"}, "tool"},
        {"tool=/x/tool:bin/tool", true, true, "tool", "/x/tool", {"*"}, "bin/tool"},
        {"noequals", false, false, "", "", {}, ""},
        {"=path", false, false, "", "", {}, ""},
        {"name=", true, false, "", "", {}, ""},
        {"name=:masks", false, false, "", "", {}, ""},
    };
    for (const auto& c : cases) {
        TPackageSpec spec;
        std::string error;
        ASSERT_EQ(ParsePackageArgument(c.argument, c.singleFile, spec, error), c.ok) << c.argument;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.argument;
            continue;
        }
        EXPECT_EQ(spec.Name, c.name) << c.argument;
        EXPECT_EQ(spec.Path, c.path) << c.argument;
        EXPECT_EQ(spec.Masks, c.masks) << c.argument;
        EXPECT_EQ(spec.InstallName, c.installName) << c.argument;
        EXPECT_EQ(spec.Kind, c.singleFile ? TPackageKind::SingleFile : TPackageKind::Archive)
            << c.argument;
    }
    TPackageSpec spec;
    std::string error;
    ASSERT_TRUE(ParsePackageArgument("dir=/tmp", false, spec, error));
    EXPECT_EQ(spec.Kind, TPackageKind::Folder);
}

TEST(PublishArguments, Names) {
    for (const char* good : {"demo", "1.0", "my_app-2+x", "Beta.3"}) {
        EXPECT_TRUE(IsValidName(good)) << good;
    }
    for (const char* bad : {"", ".hidden", "-x", "a b", "a/b", "a\\b", "ä", "a?b", "a%20"}) {
        EXPECT_FALSE(IsValidName(bad)) << bad;
    }
}

}  // namespace
}  // namespace ombrel::server
