// Paths with the separator "/".
#include "io/paths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_support.h"

namespace ombrel {
namespace {

struct JoinCase {
    const char* a;
    const char* b;
    const char* expected;
};

TEST(PathJoin, JoinsByTheRules) {
    const JoinCase cases[] = {
        {"", "b", "b"},
        {"a", "", "a"},
        {"", "", ""},
        {"/tmp", "app", "/tmp/app"},
        {"/tmp/", "app", "/tmp/app"},
        {"dir\\", "x", "dir\\x"},
        {"C:", "x", "C:x"},
        {"/tmp", "/abs/file", "/abs/file"},
        {"/tmp", "\\rooted", "\\rooted"},
        {"/tmp", "C:\\Program", "C:\\Program"},
        {"/tmp", "d:", "d:"},
        {"/tmp", "sub/file.txt", "/tmp/sub/file.txt"},
        {"/tmp", "a b c", "/tmp/a b c"},
        {"rel", "x", "rel/x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PathJoin(c.a, c.b), c.expected) << "a='" << c.a << "' b='" << c.b << "'";
    }
}

TEST(JoinInside, KeepsNamesInsideTheirFolder) {
    EXPECT_EQ(JoinInside("/dest", "a/b.txt"), "/dest/a/b.txt");
    EXPECT_EQ(JoinInside("/dest", "a\\b\\c.txt"), "/dest/a/b/c.txt");
    EXPECT_EQ(JoinInside("/dest", "./a//b.txt"), "/dest/a/b.txt");
    const char* refused[] = {"../x", "a/../../x", "..\\x", "/etc/passwd", "\\x", "C:x", "", ".",
                             "a/.."};
    for (const char* name : refused) {
        EXPECT_THROW(JoinInside("/dest", name), EPathError) << name;
    }
}

TEST(PathParts, SplitsFolderAndName) {
    EXPECT_EQ(ExtractFileDir("/opt/app/run"), "/opt/app");
    EXPECT_EQ(ExtractFileDir("/run"), "/");
    EXPECT_EQ(ExtractFileDir("run"), "");
    EXPECT_EQ(ExtractFileDir("a\\b"), "a");
    EXPECT_EQ(ExtractFileName("bin/tool.exe"), "tool.exe");
    EXPECT_EQ(ExtractFileName("bin\\tool.exe"), "tool.exe");
    EXPECT_EQ(ExtractFileName("C:tool"), "tool");
    EXPECT_EQ(NormalizeSeparators("a\\b/c\\"), "a/b/c/");
}

TEST(PassesThroughLink, FindsLinkedFoldersBetweenRootAndName) {
    testing::TempFolder tmp;
    std::filesystem::create_directories(tmp / "root/real/deeper");
    std::filesystem::create_directories(tmp / "elsewhere");
    std::filesystem::create_directory_symlink(tmp / "elsewhere", tmp / "root/lnk");
    std::filesystem::create_directory_symlink(tmp / "elsewhere", tmp / "root/real/lnk2");
    const std::string root = tmp / "root";
    const struct {
        std::string path;
        bool expected;
    } cases[] = {
        {root + "/file.txt", false},
        {root + "/real/deeper/file.txt", false},
        {root + "/not/yet/there.txt", false},
        {root + "/lnk", false},  // the last name may be a link: it is handled as one
        {root + "/lnk/x.txt", true},
        {root + "/real/lnk2/x.txt", true},
        {root + "\\lnk\\x.txt", true},
        {root + "/real/../lnk/x.txt", true},
        {root + "2/x.txt", true},
        {"/elsewhere/x.txt", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PassesThroughLink(root, c.path), c.expected) << c.path;
        EXPECT_EQ(PassesThroughLink(root + "/", c.path), c.expected) << c.path << " (root with /)";
    }
}

}  // namespace
}  // namespace ombrel
