#include "io/file_mask.h"

namespace ombrel {
namespace {

// A byte that does not start a valid UTF-8 sequence decodes to a value above the Unicode
// range, so it still counts as one character and only ever matches itself.
constexpr char32_t kInvalidByteBase = 0x110000;

char32_t DecodeOne(std::string_view text, size_t& pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    }
    if (length == 0 || pos + length > text.size()) {
        ++pos;
        return kInvalidByteBase + lead;
    }
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = byte(pos + i);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return kInvalidByteBase + lead;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++pos;
        return kInvalidByteBase + lead;
    }
    pos += length;
    return value;
}

std::u32string Decode(std::string_view text) {
    std::u32string result;
    result.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) result.push_back(DecodeOne(text, pos));
    return result;
}

char32_t LowerAscii(char32_t c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }
char32_t UpperAscii(char32_t c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

}  // namespace

bool TFileMask::Parse(std::string_view mask, TFileMask& result) {
    std::u32string chars = Decode(mask);
    std::vector<TToken> tokens;
    for (size_t i = 0; i < chars.size(); ++i) {
        char32_t c = chars[i];
        if (c == U'*') {
            // A run of stars is one star; keeping one makes matching cheaper.
            if (tokens.empty() || tokens.back().kind != TKind::AnyRun) {
                tokens.emplace_back(TKind::AnyRun);
            }
        } else if (c == U'?') {
            tokens.emplace_back(TKind::AnyOne);
        } else if (c == U'[') {
            TToken set(TKind::Set);
            size_t j = i + 1;
            if (j < chars.size() && chars[j] == U'!') {
                set.negated = true;
                ++j;
            }
            bool closed = false;
            while (j < chars.size()) {
                if (chars[j] == U']') {
                    closed = true;
                    break;
                }
                char32_t first = chars[j];
                if (j + 2 < chars.size() && chars[j + 1] == U'-' && chars[j + 2] != U']') {
                    set.ranges.push_back({first, chars[j + 2]});
                    j += 3;
                } else {
                    set.ranges.push_back({first, first});
                    ++j;
                }
            }
            if (!closed) return false;
            tokens.push_back(std::move(set));
            i = j;
        } else {
            tokens.emplace_back(TKind::Literal, LowerAscii(c));
        }
    }
    result.iTokens = std::move(tokens);
    return true;
}

bool TFileMask::TokenMatches(const TToken& token, char32_t c) {
    switch (token.kind) {
        case TKind::Literal: return token.literal == LowerAscii(c);
        case TKind::AnyOne: return true;
        case TKind::AnyRun: return false;
        case TKind::Set: {
            const char32_t lower = LowerAscii(c);
            const char32_t upper = UpperAscii(c);
            bool found = false;
            for (const TRange& range : token.ranges) {
                if ((lower >= range.first && lower <= range.last) ||
                    (upper >= range.first && upper <= range.last)) {
                    found = true;
                    break;
                }
            }
            return found != token.negated;
        }
    }
    return false;
}

bool TFileMask::Matches(std::string_view text) const {
    const std::u32string chars = Decode(text);
    const size_t count = iTokens.size();
    // Every token but "*" consumes exactly one character, so remembering only the last star
    // (and retrying it with one more character) finds a match when there is one.
    size_t t = 0;
    size_t s = 0;
    size_t starToken = std::u32string::npos;
    size_t starText = 0;
    while (s < chars.size()) {
        if (t < count && iTokens[t].kind == TKind::AnyRun) {
            starToken = t++;
            starText = s;
        } else if (t < count && TokenMatches(iTokens[t], chars[s])) {
            ++t;
            ++s;
        } else if (starToken != std::u32string::npos) {
            t = starToken + 1;
            s = ++starText;
        } else {
            return false;
        }
    }
    while (t < count && iTokens[t].kind == TKind::AnyRun) ++t;
    return t == count;
}

bool MatchesMask(std::string_view mask, std::string_view text) {
    TFileMask parsed;
    return TFileMask::Parse(mask, parsed) && parsed.Matches(text);
}

}  // namespace ombrel
