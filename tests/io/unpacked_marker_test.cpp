#include "io/unpacked_marker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ombrel {
namespace {

TEST(UnpackedMarker, TextIsTheLinesEachEndedByCrLfAndReadsBack) {
    TUnpackedMarker marker;
    marker.ArchiveSize = 123456;
    marker.ArchiveModified = 1700000000123456789;
    marker.Files = {{"a.txt", 0, 0}, {"sub/with blank.bin", 4294967296, 0xdeadbeef}};
    std::string joined = "<prefix>";
    for (const auto& line : FormatUnpackedMarker(marker)) joined += line + "\r\n";
    EXPECT_EQ(UnpackedMarkerText(marker, "<prefix>"), joined);

    std::vector<std::string> lines;
    const std::string text = UnpackedMarkerText(marker, "");
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    TUnpackedMarker read;
    ASSERT_TRUE(ParseUnpackedMarker(lines, read));
    EXPECT_EQ(read.ArchiveSize, marker.ArchiveSize);
    EXPECT_EQ(read.ArchiveModified, marker.ArchiveModified);
    ASSERT_EQ(read.Files.size(), 2u);
    EXPECT_EQ(read.Files[1].Name, "sub/with blank.bin");
    EXPECT_EQ(read.Files[1].Size, 4294967296u);
    EXPECT_EQ(read.Files[1].Crc, 0xdeadbeefu);
}

}  // namespace
}  // namespace ombrel
