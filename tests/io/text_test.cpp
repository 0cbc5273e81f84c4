#include "io/text.h"

#include <gtest/gtest.h>

namespace ombrel {
namespace {

TEST(Text, TrimRemovesControlAndBlankCharactersOnly) {
    EXPECT_EQ(Trim("  \t\r\n My App \x01"), "My App");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim(" \x1f "), "");
    EXPECT_EQ(Trim("\xc3\xa4 "), "\xc3\xa4");  // non-ASCII is never trimmed
}

TEST(Text, BlankAndEmptyDiffer) {
    EXPECT_TRUE(IsBlank(""));
    EXPECT_TRUE(IsBlank("   \t"));
    EXPECT_FALSE(IsBlank(" x "));
}

TEST(Text, AsciiCaseFolding) {
    EXPECT_EQ(LowerAscii("Lib\\A.DLL"), "lib\\a.dll");
    EXPECT_TRUE(SameTextAscii("CORE", "core"));
    EXPECT_FALSE(SameTextAscii("\xc3\x84", "\xc3\xa4"));  // only A to Z fold
    EXPECT_FALSE(SameTextAscii("core", "cores"));
}

TEST(SplitLines, BreaksAtEveryKindOfLineEnd) {
    const struct {
        const char* text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"one", {"one"}},
        {"one\r\ntwo\rthree\nfour", {"one", "two", "three", "four"}},
        {"last break\r\n", {"last break"}},
        {"\n\r\n\r", {"", "", ""}},
        {"\n\rx", {"", "", "x"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.text;
}

}  // namespace
}  // namespace ombrel
