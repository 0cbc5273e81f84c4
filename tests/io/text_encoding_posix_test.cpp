// The code page conversion against the system's own converter (iconv).
#include <cstdio>

#include <gtest/gtest.h>

#include "io/ansi_text.h"
#include "io/text.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

TEST(TextEncoding, Windows1252AgreesWithIconv) {
    // Every byte the code page defines (0x81, 0x8D, 0x8F, 0x90 and 0x9D are undefined).
    std::string defined;
    for (int b = 1; b < 256; ++b) {
        if (b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D) continue;
        defined += static_cast<char>(b);
    }
    testing::TempFolder folder;
    std::string in = folder.Write("cp1252.bin", defined);
    std::string command = "iconv -f WINDOWS-1252 -t UTF-8 '" + in + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string expected;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) expected.append(buffer, n);
    ASSERT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(Windows1252ToUtf8(defined), expected);
}

TEST(TextEncoding, AnsiIsWindows1252Here) {
    std::string bytes;
    for (int b = 1; b < 256; ++b) bytes += static_cast<char>(b);
    EXPECT_EQ(AnsiToUtf8(bytes), Windows1252ToUtf8(bytes));
    bool lossless = false;
    EXPECT_EQ(Utf8ToAnsi("\xC3\xA4\xE2\x82\xAC", &lossless), "\xE4\x80");
    EXPECT_TRUE(lossless);
    EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD", &lossless), "?");
    EXPECT_FALSE(lossless);
}

}  // namespace
}  // namespace ombrel
