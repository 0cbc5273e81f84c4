#include "io/unpacked_marker.h"

#include <fmt/printf.h>

#include <charconv>
#include <iterator>
#include <string_view>

namespace ombrel {

namespace {

const char kHeader[] = "ombrel-unpacked 1";

// Reads one number ending at a blank (or at the end when `last`); moves `text` past it.
template <typename T>
bool TakeNumber(std::string_view& text, T& value, int base, bool last) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (ec != std::errc() || ptr == text.data()) return false;
    text.remove_prefix(static_cast<size_t>(ptr - text.data()));
    if (last) return text.empty();
    if (text.empty() || text.front() != ' ') return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

std::vector<std::string> FormatUnpackedMarker(const TUnpackedMarker& marker) {
    std::vector<std::string> lines;
    lines.reserve(marker.Files.size() + 2);
    lines.emplace_back(kHeader);
    lines.push_back(fmt::format("archive {} {}", marker.ArchiveSize, marker.ArchiveModified));
    for (const auto& file : marker.Files) {
        lines.push_back(fmt::format("file {:08x} {} {}", file.Crc, file.Size, file.Name));
    }
    return lines;
}

std::string UnpackedMarkerText(const TUnpackedMarker& marker, std::string_view prefix) {
    std::string text(prefix);
    size_t size = text.size() + 64;
    for (const auto& file : marker.Files) size += file.Name.size() + 40;
    text.reserve(size);
    fmt::format_to(std::back_inserter(text), "{}\r\narchive {} {}\r\n", kHeader,
                   marker.ArchiveSize, marker.ArchiveModified);
    for (const auto& file : marker.Files) {
        fmt::format_to(std::back_inserter(text), "file {:08x} {} {}\r\n", file.Crc, file.Size,
                       file.Name);
    }
    return text;
}

bool ParseUnpackedMarker(const std::vector<std::string>& lines, TUnpackedMarker& marker) {
    marker = TUnpackedMarker();
    if (lines.size() < 2 || lines[0] != kHeader) return false;
    std::string_view archive = lines[1];
    if (archive.substr(0, 8) != "archive ") return false;
    archive.remove_prefix(8);
    if (!TakeNumber(archive, marker.ArchiveSize, 10, false) ||
        !TakeNumber(archive, marker.ArchiveModified, 10, true)) {
        return false;
    }
    for (size_t i = 2; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (line.substr(0, 5) != "file ") return false;
        line.remove_prefix(5);
        TUnpackedFile file;
        if (!TakeNumber(line, file.Crc, 16, false) || !TakeNumber(line, file.Size, 10, false) ||
            line.empty()) {
            return false;
        }
        file.Name = std::string(line);
        marker.Files.push_back(std::move(file));
    }
    return true;
}

}  // namespace ombrel
