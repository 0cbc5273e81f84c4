#pragma once
// Writes real zip archives for the tests.

#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ombrel::testing {

// How the name is stored: UTF-8 (marked as such when it is not plain ASCII), or the bytes as
// given, unmarked, as old MS-DOS programs stored code page 437.
enum class ZipNameEncoding { Utf8, Cp437 };

struct ZipItem {
    std::string name;  // stored as given (a trailing "/" makes a folder entry)
    std::string data;
    bool deflate = false;
    std::optional<uint32_t> unixMode;      // full mode incl. file type, host Unix
    std::optional<uint8_t> dosAttributes;  // host MS-DOS
    time_t mtime = 0;                      // 0: now
    ZipNameEncoding nameEncoding = ZipNameEncoding::Utf8;
};

inline ZipItem Stored(std::string name, std::string data) {
    ZipItem item;
    item.name = std::move(name);
    item.data = std::move(data);
    return item;
}

inline ZipItem Deflated(std::string name, std::string data) {
    ZipItem item = Stored(std::move(name), std::move(data));
    item.deflate = true;
    return item;
}

// Writes the archive at `path`, replacing any file there (zip_test_archive_posix.cpp with
// libzip, zip_test_archive_windows.cpp byte by byte).
void WriteZip(const std::string& path, const std::vector<ZipItem>& items);

// Bytes that deflate hardly shrinks, from a fixed seed.
inline std::string NoiseBytes(size_t size, uint32_t seed = 12345) {
    std::string data(size, '\0');
    uint32_t state = seed;
    for (char& c : data) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return data;
}

}  // namespace ombrel::testing
