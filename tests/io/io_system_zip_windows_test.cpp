// Archive extraction where Windows differs: no mode bits, the read-only attribute instead.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/win32_text.h"
#include "tests/io/extract_zip_test.h"

namespace ombrel {
namespace {

using testing::Below;
using testing::Stored;
using testing::ZipItem;

TEST_F(ExtractZipTest, EntriesWithoutWriteBitsAndMsDosReadOnlyEntriesBecomeReadOnly) {
    const struct {
        const char* name;
        std::optional<uint32_t> unixMode;
        std::optional<uint8_t> dos;
        bool readOnly;
    } cases[] = {
        {"run.sh", 0100755, {}, false},
        {"private", 0100600, {}, false},
        {"ro-unix", 0100444, {}, true},
        {"no-type-bits", 0555, {}, true},
        {"default", {}, {}, false},
        {"dos-readonly", {}, 0x01, true},
        {"dos-hidden-readonly", {}, 0x03, true},
        {"dos-archive", {}, 0x20, false},
    };
    std::vector<ZipItem> items;
    for (const auto& c : cases) {
        ZipItem item = Stored(c.name, "data");
        item.unixMode = c.unixMode;
        item.dosAttributes = c.dos;
        items.push_back(item);
    }
    ASSERT_TRUE(Extract(items)) << messages->Dump();
    for (const auto& c : cases) {
        const DWORD attributes = GetFileAttributesW(Win32Path(Below(Out(), c.name)).c_str());
        ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << c.name;
        EXPECT_EQ((attributes & FILE_ATTRIBUTE_READONLY) != 0, c.readOnly) << c.name;
    }
    // A read-only file is replaced by the next extraction, as on Linux.
    ASSERT_TRUE(Extract({Stored("ro-unix", "new data")})) << messages->Dump();
    EXPECT_EQ(temp.Read("out/ro-unix"), "new data");
}

TEST_F(ExtractZipTest, NamesWindowsCannotHoldAreRefusedBeforeAnythingIsWritten) {
    // A trailing blank or dot is stripped by the Win32 API: such a file could not be reached
    // or deleted by most programs. ':' would name a stream of the folder.
    for (const char* name : {"trail.txt ", "dot.", "sub./a.txt", "sub /a.txt", ":stream",
                             "ab:c.txt", "wild*.txt", "what?.txt"}) {
        SCOPED_TRACE(name);
        messages->reports.clear();
        EXPECT_FALSE(Extract({Stored("first.txt", "1"), Stored(name, "x")}));
        ExpectOneErrorFromTio();
        EXPECT_THAT(messages->Texts(testing::Level::Error)[0],
                    ::testing::EndsWith(std::string(": zip archive refused: ") + name +
                                        " is no Windows file name"));
        EXPECT_FALSE(std::filesystem::exists(Out() + "\\first.txt"));
    }
}

}  // namespace
}  // namespace ombrel
