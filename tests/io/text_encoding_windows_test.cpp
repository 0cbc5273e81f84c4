// The code page conversion against the system's own converter (MultiByteToWideChar).
#include <windows.h>

#include <gtest/gtest.h>

#include "io/ansi_text.h"
#include "io/text.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

TEST(TextEncoding, Windows1252AgreesWithTheSystem) {
    // Every byte the code page defines (0x81, 0x8D, 0x8F, 0x90 and 0x9D are undefined).
    std::string defined;
    for (int b = 1; b < 256; ++b) {
        if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) continue;
        defined += static_cast<char>(b);
    }
    std::wstring wide(defined.size(), L'\0');
    const int length = MultiByteToWideChar(1252, MB_ERR_INVALID_CHARS, defined.data(),
                                           static_cast<int>(defined.size()), wide.data(),
                                           static_cast<int>(wide.size()));
    ASSERT_EQ(length, static_cast<int>(defined.size()));
    EXPECT_EQ(Windows1252ToUtf8(defined), Narrow(wide));
}

TEST(TextEncoding, AnsiIsTheSystemsCodePage) {
    // Every byte of the system's code page, as the system converts it.
    std::string bytes;
    for (int b = 1; b < 256; ++b) bytes += static_cast<char>(b);
    std::wstring wide(bytes.size(), L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                           wide.data(), static_cast<int>(wide.size()));
    ASSERT_GT(length, 0);
    wide.resize(static_cast<size_t>(length));
    EXPECT_EQ(AnsiToUtf8(bytes), Narrow(wide));
    EXPECT_EQ(DecodeText(bytes, TTextEncoding::Ansi), Narrow(wide));

    // Back: what the code page holds comes back as it was; what it does not becomes '?'.
    bool lossless = false;
    EXPECT_EQ(Utf8ToAnsi("plain ASCII", &lossless), "plain ASCII");
    EXPECT_TRUE(lossless);
    if (GetACP() == 1252) {
        EXPECT_EQ(Utf8ToAnsi("\xC3\xA4\xE2\x82\xAC", &lossless), "\xE4\x80");  // a-umlaut, euro
        EXPECT_TRUE(lossless);
    }
    EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD", &lossless), "?");  // a CJK character
    EXPECT_FALSE(lossless);
    EXPECT_EQ(Utf8ToAnsi("bad \xC3", &lossless), "bad ?");
    EXPECT_FALSE(lossless);
}

}  // namespace
}  // namespace ombrel
