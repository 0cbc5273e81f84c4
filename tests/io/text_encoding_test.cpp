#include <cstdio>

#include <gtest/gtest.h>

#include "io/text.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

TEST(TextEncoding, ByteOrderMarksAreTestedUtf8ThenUtf16LeThenBe) {
    struct Case {
        std::string bytes;
        TTextEncoding encoding;
        size_t length;
    };
    const Case cases[] = {
        {"\xEF\xBB\xBFx", TTextEncoding::Utf8, 3},
        {"\xFF\xFEx\0", TTextEncoding::Utf16LE, 2},
        {"\xFE\xFF\0x", TTextEncoding::Utf16BE, 2},
        {"\xEF\xBBx", TTextEncoding::Ansi, 0},
        {"", TTextEncoding::Ansi, 0},
    };
    for (const auto& c : cases) {
        TBomResult bom = DetectBom(c.bytes, TTextEncoding::Ansi);
        EXPECT_EQ(bom.encoding, c.encoding) << c.bytes;
        EXPECT_EQ(bom.bomLength, c.length) << c.bytes;
    }
}

TEST(TextEncoding, DecodingNeverFailsAndMarksMalformedInput) {
    struct Case {
        const char* name;
        std::string bytes;
        TTextEncoding encoding;
        std::string utf8;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"1252 specials", "\x80\x8A\x9F\xE4\xFF", TTextEncoding::Ansi,
         "\xE2\x82\xAC\xC5\xA0\xC5\xB8\xC3\xA4\xC3\xBF"},
        {"1252 undefined byte", "\x81", TTextEncoding::Ansi, "\xC2\x81"},
        {"valid utf-8", "\xC3\xA4\xF0\x9F\x98\x80", TTextEncoding::Utf8, "\xC3\xA4\xF0\x9F\x98\x80"},
        {"stray continuation", "a\x80z", TTextEncoding::Utf8, "a" + fffd + "z"},
        {"overlong slash", "\xC0\xAF", TTextEncoding::Utf8, fffd + fffd},
        {"encoded surrogate", "\xED\xA0\x80", TTextEncoding::Utf8, fffd + fffd + fffd},
        {"truncated sequence", "\xE2\x82", TTextEncoding::Utf8, fffd + fffd},
        {"utf-16 le pair", std::string("\x3D\xD8\x00\xDE", 4), TTextEncoding::Utf16LE,
         "\xF0\x9F\x98\x80"},
        {"utf-16 be", std::string("\x00\xE4\x20\xAC", 4), TTextEncoding::Utf16BE,
         "\xC3\xA4\xE2\x82\xAC"},
        {"lone surrogate", std::string("\x00\xD8" "a\x00", 4), TTextEncoding::Utf16LE, fffd + "a"},
        {"odd byte left", std::string("a\x00" "b", 3), TTextEncoding::Utf16LE, "a" + fffd},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeText(c.bytes, c.encoding), c.utf8) << c.name;
    EXPECT_EQ(DecodeTextWithBom("\xEF\xBB\xBF\xC3\xA4", TTextEncoding::Ansi), "\xC3\xA4");
    EXPECT_EQ(DecodeTextWithBom("\xC3\xA4", TTextEncoding::Ansi), "\xC3\x83\xC2\xA4");
}

TEST(TextEncoding, Windows1252RoundTripAndLoss) {
    std::string all;
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
    bool lossless = false;
    EXPECT_EQ(Utf8ToWindows1252(Windows1252ToUtf8(all), &lossless), all);
    EXPECT_TRUE(lossless);
    EXPECT_EQ(Utf8ToWindows1252("a\xE2\x9C\x93" "b\xC4\x80", &lossless), "a?b?");
    EXPECT_FALSE(lossless);
    EXPECT_EQ(Utf8ToWindows1252("\xFF", &lossless), "?");  // malformed input
    EXPECT_FALSE(lossless);
}

TEST(TextEncoding, LinesAreJoinedWithCrLfAfterEveryLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"a", "a\r\n"},
        {"a\nb\rc\r\nd", "a\r\nb\r\nc\r\nd\r\n"},
        {"a\r\n", "a\r\n"},
        {"\n\n", "\r\n\r\n"},
        {"a\r\r\nb", "a\r\n\r\nb\r\n"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(JoinLinesCrLf(in), out) << in;
}

}  // namespace
}  // namespace ombrel
