// Paths with the separator "\".
#include <windows.h>

#include <gtest/gtest.h>

#include "io/paths.h"
#include "platform/win32_text.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

TEST(PathJoin, JoinsByTheRules) {
    const struct {
        const char* a;
        const char* b;
        const char* expected;
    } cases[] = {
        {"", "b", "b"},
        {"a", "", "a"},
        {"", "", ""},
        {"C:\\Temp", "app", "C:\\Temp\\app"},
        {"C:\\Temp\\", "app", "C:\\Temp\\app"},
        {"dir/", "x", "dir/x"},
        {"C:", "x", "C:x"},
        {"C:\\Temp", "\\rooted", "\\rooted"},
        {"C:\\Temp", "/rooted", "/rooted"},
        {"C:\\Temp", "D:\\Program", "D:\\Program"},
        {"C:\\Temp", "d:", "d:"},
        {"C:\\Temp", "sub\\file.txt", "C:\\Temp\\sub\\file.txt"},
        {"\\\\server\\share", "a b c", "\\\\server\\share\\a b c"},
        {"rel", "x", "rel\\x"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PathJoin(c.a, c.b), c.expected) << "a='" << c.a << "' b='" << c.b << "'";
    }
}

TEST(JoinInside, KeepsNamesInsideTheirFolder) {
    EXPECT_EQ(JoinInside("C:\\dest", "a/b.txt"), "C:\\dest\\a\\b.txt");
    EXPECT_EQ(JoinInside("C:\\dest", "a\\b\\c.txt"), "C:\\dest\\a\\b\\c.txt");
    EXPECT_EQ(JoinInside("C:\\dest", "./a//b.txt"), "C:\\dest\\a\\b.txt");
    const char* refused[] = {"../x", "a/../../x", "..\\x", "/etc/passwd", "\\x", "C:x", "D:\\x",
                             "", ".", "a\\.."};
    for (const char* name : refused) {
        EXPECT_THROW(JoinInside("C:\\dest", name), EPathError) << name;
    }
}

TEST(PathParts, SplitsFolderAndName) {
    EXPECT_EQ(ExtractFileDir("C:\\app\\run.exe"), "C:\\app");
    EXPECT_EQ(ExtractFileDir("\\run"), "\\");
    EXPECT_EQ(ExtractFileDir("run"), "");
    EXPECT_EQ(ExtractFileDir("a/b"), "a");
    EXPECT_EQ(ExtractFileName("bin\\tool.exe"), "tool.exe");
    EXPECT_EQ(ExtractFileName("C:tool"), "tool");
    EXPECT_EQ(NormalizeSeparators("a\\b/c/"), "a\\b\\c\\");
}

TEST(PassesThroughLink, FindsPathsOutsideTheRootWithoutLinks) {
    testing::TempFolder tmp;
    ASSERT_TRUE(CreateDirectoryW(Win32Path(tmp / "root").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(Win32Path(tmp / "root\\real").c_str(), nullptr));
    const std::string root = tmp / "root";
    const struct {
        std::string path;
        bool expected;
    } cases[] = {
        {root + "\\file.txt", false},
        {root + "\\real\\file.txt", false},
        {root + "/real/file.txt", false},
        {root + "\\not\\yet\\there.txt", false},
        {root + "\\real\\..\\x.txt", true},
        {root + "2\\x.txt", true},
        {"D:\\elsewhere\\x.txt", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PassesThroughLink(root, c.path), c.expected) << c.path;
        EXPECT_EQ(PassesThroughLink(root + "\\", c.path), c.expected) << c.path << " (root with \\)";
    }
}

}  // namespace
}  // namespace ombrel
