#include "state/storage.h"

#include <gtest/gtest.h>

#include <functional>

namespace ombrel {
namespace {

using Lines = TStrings;

TEST(Storage, EmptyListHasNoBlocks) {
    Lines lines;
    TStorage storage(lines);
    EXPECT_FALSE(storage.BlockExists("app"));
    EXPECT_EQ(storage.GetValue("app", "default"), "default");

    auto block = std::make_unique<TStorage::TBlock>();
    TStorage::TBlock* before = block.get();
    EXPECT_FALSE(storage.GetBlock("app", block));
    EXPECT_EQ(block.get(), before);  // untouched

    storage.SetValue("app", "X");
    EXPECT_EQ(lines, (Lines{":app X", ""}));
}

TEST(Storage, WritesBlocksInTheOrderFirstSet) {
    Lines lines;
    TStorage storage(lines);
    storage.SetValue("app", "Example");
    storage.SetLines("files", {"a.exe", "lib\\b.dll"});
    EXPECT_EQ(lines, (Lines{":app Example", "", ":files", "a.exe", "lib\\b.dll", ""}));
}

// Reading: lookup, values and content lines of hand-made lists.
struct ReadCase {
    const char* what;
    Lines lines;
    std::string name;
    bool exists;
    std::string value;           // GetValue with default "<default>"
    std::string blockValue;      // GetBlock's Value
    Lines blockLines;
};

TEST(Storage, ReadsBlocks) {
    const ReadCase cases[] = {
        {"value trimmed, inner blanks kept", {":app   My App  "}, "app", true, "My App", "My App", {}},
        {"header alone gives the default", {":app"}, "app", true, "<default>", "", {}},
        {"blanks after the header give an empty value", {":app   "}, "app", true, "", "", {}},
        {"a tab separates the value", {":app\tX Y"}, "app", true, "X Y", "X Y", {}},
        {"first blank or tab separates", {":app \tX"}, "app", true, "X", "X", {}},
        {"prefix test", {":apple 1", ":app 2"}, "app", true, "1", "1", {}},
        {"name trimmed for the key", {"x", ":app 1"}, " app ", true, "1", "1", {}},
        {"case-sensitive", {":App 1"}, "app", false, "<default>", "", {}},
        {"raw line, leading blank is no header", {" :app 1"}, "app", false, "<default>", "", {}},
        {"empty name finds the first header", {"x", ":b 2", ":a 1"}, "", true, "2", "2", {}},
        {"first of two equal keys", {":app 1", "a", ":app 2", "b"}, "app", true, "1", "1", {"a"}},
        {"content trimmed, empty and blank lines skipped",
         {":files", "  a ", "", " \t ", "b", ":next", "c"}, "files", true, "<default>", "",
         {"a", "b"}},
        {"indented colon does not end the block", {":files", "  :x", "y"}, "files", true,
         "<default>", "", {":x", "y"}},
        {"block runs to the end of the list", {":a", ":files v", "1", "2"}, "files", true, "v",
         "v", {"1", "2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Lines lines = c.lines;
        TStorage storage(lines);
        EXPECT_EQ(storage.BlockExists(c.name), c.exists);
        EXPECT_EQ(storage.GetValue(c.name, "<default>"), c.value);
        std::unique_ptr<TStorage::TBlock> block;
        ASSERT_EQ(storage.GetBlock(c.name, block), c.exists);
        if (c.exists) {
            ASSERT_TRUE(block);
            EXPECT_EQ(block->Name, c.name);  // as passed, not trimmed
            EXPECT_EQ(block->Value, c.blockValue);
            EXPECT_EQ(block->Lines, c.blockLines);
        }
        EXPECT_EQ(lines, c.lines);  // reading changes nothing
    }
}

// Writing: the list after one or more operations.
struct WriteCase {
    const char* what;
    Lines before;
    std::function<void(TStorage&)> op;
    Lines after;
};

TEST(Storage, WritesBlocks) {
    const WriteCase cases[] = {
        {"empty value gives the header alone", {}, [](TStorage& s) { s.SetValue("app", ""); },
         {":app", ""}},
        {"blank value gives the header alone", {}, [](TStorage& s) { s.SetValue("app", "  "); },
         {":app", ""}},
        {"name trimmed, value written as given, whole header trimmed", {},
         [](TStorage& s) { s.SetValue(" app ", " My App "); }, {":app  My App", ""}},
        {"content lines copied exactly", {},
         [](TStorage& s) { s.SetLines("files", {"  a", "", "b "}); },
         {":files", "  a", "", "b ", ""}},
        {"SetLines keeps the value", {":app X", "old", ""},
         [](TStorage& s) { s.SetLines("app", {"new"}); }, {":app X", "new", ""}},
        {"SetValue keeps the content lines as read", {":files old", "  a ", "", "b", ":next"},
         [](TStorage& s) { s.SetValue("files", "new"); }, {":files new", "a", "b", "", ":next"}},
        {"middle block keeps its place", {":a 1", "", ":b 2", "", ":c 3", ""},
         [](TStorage& s) { s.SetValue("b", "two"); },
         {":a 1", "", ":b two", "", ":c 3", ""}},
        {"last block rewritten at the end", {":a 1", "", ":b 2"},
         [](TStorage& s) { s.SetValue("b", "two"); }, {":a 1", "", ":b two", ""}},
        {"only the first of two equal keys changes", {":app 1", ":app 2"},
         [](TStorage& s) { s.SetValue("app", "x"); }, {":app x", "", ":app 2"}},
        {"new blocks appended in order", {"stray"},
         [](TStorage& s) {
             s.SetLines("b", {"x"});
             s.SetValue("a", "1");
             s.SetValue("b", "2");
         },
         {"stray", ":b 2", "x", "", ":a 1", ""}},
        {"setting twice leaves one block", {},
         [](TStorage& s) {
             s.SetValue("app", "1");
             s.SetValue("app", "2");
             s.SetLines("app", {"l"});
         },
         {":app 2", "l", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Lines lines = c.before;
        TStorage storage(lines);
        c.op(storage);
        EXPECT_EQ(lines, c.after);
    }
}

TEST(Storage, ValueAndLinesReadBackAfterWriting) {
    Lines lines;
    TStorage storage(lines);
    storage.SetValue("app", "");
    EXPECT_EQ(storage.GetValue("app", "d"), "d");
    TStorage::TBlock block;
    ASSERT_TRUE(storage.GetBlock("app", block));
    EXPECT_EQ(block.Value, "");

    storage.SetLines("files", {"  a", "", "b"});
    ASSERT_TRUE(storage.GetBlock("files", block));
    EXPECT_EQ(block.Lines, (Lines{"a", "b"}));
    EXPECT_EQ(storage.GetValue("app", "d"), "d");
}

}  // namespace
}  // namespace ombrel
