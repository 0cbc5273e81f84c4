#include "io/paths.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_support.h"

namespace ombrel {
namespace {

TEST(PathJoin, RefusesCharactersThatPathsMayNotContain) {
    const std::string bad[] = {std::string("a\0b", 3), "tab\there", "new\nline", "quote\"",
                               "less<", "greater>", "pipe|", std::string(1, '\x1f')};
    for (const auto& text : bad) {
        EXPECT_THROW(PathJoin("/tmp", text), EPathError) << "second part";
        EXPECT_THROW(PathJoin(text, "x"), EPathError) << "first part";
        // Even when the other part would make the check unnecessary, both are examined.
        EXPECT_THROW(PathJoin(text, ""), EPathError);
    }
    EXPECT_NO_THROW(PathJoin("/tmp", "star*and?question:colon"));
}

}  // namespace
}  // namespace ombrel
