// Turning answer bodies into UTF-8 text by the charset that the answer names.

#include "api/http_transport.h"

#include <gtest/gtest.h>

namespace ombrel {
namespace {

TBytes Bytes(const std::string& text) {
    return TBytes(text.begin(), text.end());
}

TEST(DecodeBodyText, FollowsTheNamedCharset) {
    struct Case {
        const char* contentType;
        std::string body;
        std::string expected;
    } cases[] = {
        {"", "caf\xC3\xA9", "caf\xC3\xA9"},
        // No charset, or one nobody knows: UTF-8, and what is not UTF-8 becomes U+FFFD.
        {"application/json", "\xE4", "\xEF\xBF\xBD"},
        {"application/json", "a\xC3\xA4\xC3", "a\xC3\xA4\xEF\xBF\xBD"},
        {"text/plain; charset=utf-8", "\xFF\xFEx", "\xEF\xBF\xBD\xEF\xBF\xBDx"},
        {"text/plain; charset=UTF-8", "\xC3\xA4", "ä"},
        {"text/plain; CHARSET=iso-8859-1", "\xE4\xF6\xFC", "äöü"},
        {"text/plain; format=flowed; charset=Windows-1252; x=y", "\x80\x84", "€„"},
        {"text/plain; charset=\"UTF-16BE\"", std::string("\x00\xE4\x20\xAC", 4), "ä€"},
        {"text/plain; charset=utf-16", std::string("\xFE\xFF\x00\x41", 4), "A"},
        // Bytes that do not fit the charset, and a body that ends inside a character.
        {"text/plain; charset=windows-1252", "a\x81z", "a\xEF\xBF\xBDz"},
        {"text/plain; charset=UTF-16LE", std::string("A\x00\x42", 3), "A\xEF\xBF\xBD"},
        {"text/plain; charset=x-unknown-42", "\xC3\xA4\xE4", "\xC3\xA4\xEF\xBF\xBD"},
        {"text/plain; charset=ISO-8859-1", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contentType);
        EXPECT_EQ(DecodeBodyText(Bytes(c.body), c.contentType), c.expected);
    }
}

TEST(DecodeBodyText, LargeLatin1BodyDecodesCompletely) {
    std::string body(100000, '\xE9');
    std::string expected;
    for (size_t i = 0; i < body.size(); ++i) expected += "\xC3\xA9";
    EXPECT_EQ(DecodeBodyText(Bytes(body), "text/plain; charset=latin1"), expected);
}

}  // namespace
}  // namespace ombrel
