#pragma once
// Writes real zip archives for the tests, with libzip.

#include <zip.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ombrel::testing {

struct ZipItem {
    std::string name;  // stored as given (a trailing "/" makes a folder entry)
    std::string data;
    bool deflate = false;
    std::optional<uint32_t> unixMode;      // full mode incl. file type, host Unix
    std::optional<uint8_t> dosAttributes;  // host MS-DOS
    time_t mtime = 0;                      // 0: libzip's default (now)
    zip_flags_t nameEncoding = ZIP_FL_ENC_UTF_8;
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

// Writes the archive at `path`, replacing any file there.
inline void WriteZip(const std::string& path, const std::vector<ZipItem>& items) {
    int code = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (!archive) throw std::runtime_error("zip_open failed for " + path);
    const auto fail = [&](const std::string& what) {
        std::string text = what + ": " + zip_strerror(archive);
        zip_discard(archive);
        throw std::runtime_error(text);
    };
    for (const ZipItem& item : items) {
        // The buffer is only borrowed until zip_close; `items` outlives that.
        zip_source_t* source = zip_source_buffer(archive, item.data.data(), item.data.size(), 0);
        if (!source) fail("zip_source_buffer");
        zip_int64_t index = zip_file_add(archive, item.name.c_str(), source,
                                         item.nameEncoding | ZIP_FL_OVERWRITE);
        if (index < 0) {
            zip_source_free(source);
            fail("zip_file_add " + item.name);
        }
        const auto i = static_cast<zip_uint64_t>(index);
        if (zip_set_file_compression(archive, i, item.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                                     0) != 0) {
            fail("zip_set_file_compression");
        }
        if (item.mtime != 0 && zip_file_set_mtime(archive, i, item.mtime, 0) != 0) {
            fail("zip_file_set_mtime");
        }
        if (item.unixMode &&
            zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_UNIX, *item.unixMode << 16) !=
                0) {
            fail("zip_file_set_external_attributes");
        }
        if (item.dosAttributes &&
            zip_file_set_external_attributes(archive, i, 0, ZIP_OPSYS_DOS, *item.dosAttributes) !=
                0) {
            fail("zip_file_set_external_attributes");
        }
    }
    if (zip_close(archive) != 0) fail("zip_close");
}

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
