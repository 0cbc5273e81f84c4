// The code page conversion against the system's own converter (MultiByteToWideChar).
#include <windows.h>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ombrel
