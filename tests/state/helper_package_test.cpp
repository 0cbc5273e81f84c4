#include "state/helper_package.h"

#include <gtest/gtest.h>

#include "io/paths.h"

namespace ombrel {
namespace {

TPackage Make(std::string name, std::string version, std::string filename, TPackageMode mode) {
    TPackage p;
    p.Name = std::move(name);
    p.Version = std::move(version);
    p.Filename = std::move(filename);
    p.PackageMode = mode;
    return p;
}

TEST(HelperPackage, NamesOfFileAndFolder) {
    const auto B = TPackageMode::binary;
    const auto S = TPackageMode::source;
    struct Case {
        TPackage package;
        const char* file;
        const char* folder;
        bool archive;
    } cases[] = {
        {Make("Core", "2.1", "", B), "Core.2.1.zip", "Core.2.1", true},
        {Make("Core", "2.1", "", S), "Core.2.1.src.zip", "Core.src.2.1", true},
        {Make("Tool", "3.0", "bin/tool.exe", B), "Tool.3.0.tool.exe", "Tool.3.0", false},
        {Make("Tool", "3.0", "bin/tool.exe", S), "Tool.3.0.tool.src.exe", "Tool.src.3.0", false},
        {Make("Setup", "3.0", "setup", B), "Setup.3.0.setup", "Setup.3.0", false},
        {Make("W", "1", "dir\\sub.d\\file", B), "W.1.file", "W.1", false},
        {Make("W", "1", "C:tool.exe", B), "W.1.tool.exe", "W.1", false},
        {Make("Z", "1", "data.zip", B), "Z.1.data.zip", "Z.1", false},
        {Make("U", "1", "DATA.ZIP", B), "U.1.DATA.ZIP", "U.1", false},
        {Make("V", "1", "lib.tar.gz", B), "V.1.lib.tar.gz", "V.1", false},
        // Two packages that install files of the same name keep two cache files.
        {Make("x", "1.0", "x/config.json", B), "x.1.0.config.json", "x.1.0", false},
        {Make("y", "1.0", "y/config.json", B), "y.1.0.config.json", "y.1.0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.package.Name + " " + c.package.Filename);
        EXPECT_EQ(GetPackageFileName(c.package), c.file);
        EXPECT_EQ(GetPackageFolderName(c.package), c.folder);
        EXPECT_EQ(IsArchivePackage(c.package), c.archive);
    }
}

TEST(HelperPackage, ExtensionOnlyAfterTheLastSeparator) {
    struct Case {
        const char* name;
        const char* ext;
        const char* base;
    } cases[] = {
        {"a.zip", ".zip", "a"},         {"dir.v2/file", "", "file"},
        {"dir.v2\\file", "", "file"},   {"noext", "", "noext"},
        {".hidden", ".hidden", ""},     {"x/y.tar.gz", ".gz", "y.tar"},
        {"trailing.", ".", "trailing"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtractFileExt(c.name), c.ext) << c.name;
        EXPECT_EQ(ExtractFileBase(c.name), c.base) << c.name;
    }
}

TEST(HelperPackage, FilenameWithForbiddenCharactersRaisesThePathError) {
    EXPECT_THROW(GetPackageFileName(Make("P", "1", "a|b.exe", TPackageMode::binary)),
                 EPathError);
}

TEST(HelperPackage, PlainFileNamesStayOneEntryOfTheCache) {
    for (const char* good : {"Core.2.1.zip", "...", "a b", "x..y"}) {
        EXPECT_TRUE(IsPlainFileName(good)) << good;
    }
    for (const char* bad :
         {"", ".", "..", "../x.zip", "a/b", "a\\b", "/abs", "a|b", "t\tab", "C:x.1.zip"}) {
        EXPECT_FALSE(IsPlainFileName(bad)) << bad;
    }
    // A server-chosen name or version that climbs out gives a name that is refused.
    EXPECT_FALSE(IsPlainFileName(GetPackageFileName(Make("../../x", "1", "", TPackageMode::binary))));
    EXPECT_FALSE(IsPlainFileName(GetPackageFileName(Make("C:x", "1", "", TPackageMode::binary))));
    EXPECT_FALSE(IsPlainFileName(GetPackageFolderName(Make(".", "", "", TPackageMode::binary))));
    EXPECT_FALSE(IsPlainFileName(GetPackageFolderName(Make("a", "1/../..", "", TPackageMode::binary))));
}

}  // namespace
}  // namespace ombrel
