#pragma once
// File-name masks as the file listing uses them.
//
// Rules: the ASCII letters a to z are compared without regard to case, every other character
// exactly; "*" matches any run of characters (also an empty one, also one holding "/");
// "?" matches exactly one character; "[...]" matches one character of the set, where "a-z"
// gives a range and a "!" right after "[" negates the set; every other character matches
// itself. Characters are UTF-8 code points, so "?" matches "ü" as one character; a byte that
// is not valid UTF-8 counts as one character of its own.

#include <string>
#include <string_view>
#include <vector>

namespace ombrel {

class TFileMask {
public:
    // Parses a mask. Answers false for a malformed one (a "[" without its "]").
    static bool Parse(std::string_view mask, TFileMask& result);

    // True when the whole text matches the mask.
    bool Matches(std::string_view text) const;

private:
    struct TRange {
        char32_t first;
        char32_t last;
    };
    enum class TKind { Literal, AnyOne, AnyRun, Set };
    struct TToken {
        explicit TToken(TKind kind, char32_t literal = 0) : kind(kind), literal(literal) {}
        TKind kind;
        char32_t literal = 0;
        bool negated = false;
        std::vector<TRange> ranges;
    };

    static bool TokenMatches(const TToken& token, char32_t c);

    std::vector<TToken> iTokens;
};

// One-shot form of TFileMask::Parse and Matches; a malformed mask matches nothing.
bool MatchesMask(std::string_view mask, std::string_view text);

}  // namespace ombrel
