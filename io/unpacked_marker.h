#pragma once
// The completion marker of an unpacked package folder in the package cache: written into the
// folder last, after every entry of the archive is out, it tells which archive the folder was
// unpacked from (size and modification time) and which files it holds (name, size, CRC-32 as
// the archive gives them). A folder without a marker that matches is not used.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel {

// The marker's name in the unpacked folder. No archive entry may have it, and the files of a
// package never include it.
inline constexpr char kUnpackedMarkerName[] = ".ombrel-unpacked";

struct TUnpackedFile {
    std::string Name;  // relative to the folder, "/" between folders
    uint64_t Size = 0;
    uint32_t Crc = 0;
};

struct TUnpackedMarker {
    uint64_t ArchiveSize = 0;
    int64_t ArchiveModified = 0;  // nanoseconds since the epoch
    std::vector<TUnpackedFile> Files;
};

// One line per item: "ombrel-unpacked 1", "archive SIZE MODIFIED", then "file CRC SIZE NAME"
// with the CRC as 8 lowercase hexadecimal digits.
std::vector<std::string> FormatUnpackedMarker(const TUnpackedMarker& marker);
// The lines of FormatUnpackedMarker after `prefix`, each followed by CR LF, in one text: for a
// marker of many files, without a string per line.
std::string UnpackedMarkerText(const TUnpackedMarker& marker, std::string_view prefix);
// False for lines that are not a marker of this format.
bool ParseUnpackedMarker(const std::vector<std::string>& lines, TUnpackedMarker& marker);

}  // namespace ombrel
