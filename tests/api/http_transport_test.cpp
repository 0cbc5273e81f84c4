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
        {"application/json", "\xE4", "\xE4"},  // no charset: taken as it is
        {"text/plain; charset=UTF-8", "\xC3\xA4", "ä"},
        {"text/plain; CHARSET=iso-8859-1", "\xE4\xF6\xFC", "äöü"},
        {"text/plain; format=flowed; charset=Windows-1252; x=y", "\x80\x84", "€„"},
        {"text/plain; charset=\"UTF-16BE\"", std::string("\x00\xE4\x20\xAC", 4), "ä€"},
        {"text/plain; charset=utf-16", std::string("\xFE\xFF\x00\x41", 4), "A"},
        // Bytes that do not fit the charset, and a body that ends inside a character.
        {"text/plain; charset=windows-1252", "a\x81z", "a\xEF\xBF\xBDz"},
        {"text/plain; charset=UTF-16LE", std::string("A\x00\x42", 3), "A\xEF\xBF\xBD"},
        // A charset nobody knows: the bytes as they came.
        {"text/plain; charset=x-unknown-42", "\xE4", "\xE4"},
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
