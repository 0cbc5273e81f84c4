#include "io/file_mask.h"

#include <gtest/gtest.h>

namespace ombrel {
namespace {

struct MaskCase {
    const char* mask;
    const char* text;
    bool matches;
};

TEST(FileMask, MatchesByTheRules) {
    const MaskCase cases[] = {
        // Letters without regard to case, everything else exactly.
        {"readme.txt", "README.TXT", true},
        {"README.TXT", "readme.txt", true},
        {"ä.txt", "Ä.txt", false},  // only ASCII letters fold
        {"a.txt", "a.txt ", false},
        {"", "", true},
        {"", "a", false},
        // "*" matches any run, also empty, also across "/".
        {"*", "", true},
        {"*", "sub/dir/file", true},
        {"*.txt", ".txt", true},
        {"*.txt", "a.txt.bak", false},
        {"*.txt", "sub/a.txt", true},
        {"a*b*c", "axxbyyc", true},
        {"a*b*c", "axxbyy", false},
        {"a*a*a", "aaa", true},
        {"a**b", "ab", true},
        {"*.*", "noext", false},  // literal here; only the listing gives "*.*" its wider meaning
        {"*.*", "a.b", true},
        {"sub/*", "sub/x/y.dll", true},
        {"sub/*", "other/sub/x", false},
        // "?" is exactly one character, a code point and not a byte.
        {"?", "", false},
        {"?", "a", true},
        {"?", "ab", false},
        {"?.txt", "ü.txt", true},
        {"a?c", "a/c", true},
        {"*?", "", false},
        // Sets, ranges, negation.
        {"[abc].txt", "b.txt", true},
        {"[abc].txt", "B.TXT", true},
        {"[abc].txt", "d.txt", false},
        {"[a-f]1", "e1", true},
        {"[a-f]1", "E1", true},
        {"[A-F]1", "e1", true},
        {"[a-f]1", "g1", false},
        {"[0-9][0-9]", "42", true},
        {"[0-9][0-9]", "4x", false},
        {"[!a-c]x", "dx", true},
        {"[!a-c]x", "Bx", false},
        {"[!a-c]x", "x", false},
        {"[a-]", "-", true},  // a hyphen before "]" is itself
        {"[*?]", "*", true},  // wildcards inside a set are plain characters
        {"[*?]", "a", false},
        {"[äö]x", "öx", true},
        {"[]", "a", false},   // an empty set matches nothing
        {"[!]", "a", true},   // and its negation anything
        {"lib[0-9]*.so", "libc.so", false},
        {"lib[0-9]*.so", "lib2foo.so", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesMask(c.mask, c.text), c.matches)
            << "mask '" << c.mask << "' text '" << c.text << "'";
    }
}

TEST(FileMask, RefusesAnOpenSet) {
    for (const char* mask : {"[abc", "*.[tx", "[!", "["}) {
        TFileMask parsed;
        EXPECT_FALSE(TFileMask::Parse(mask, parsed)) << mask;
        EXPECT_FALSE(MatchesMask(mask, "a")) << mask;
    }
}

TEST(FileMask, InvalidUtf8BytesAreSingleCharacters) {
    EXPECT_TRUE(MatchesMask("?.bin", "\xff.bin"));
    EXPECT_TRUE(MatchesMask("\xff*", "\xff\xfe"));
    EXPECT_FALSE(MatchesMask("\xfe", "\xff"));
}

}  // namespace
}  // namespace ombrel
