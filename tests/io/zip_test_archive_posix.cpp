// Test archives written by libzip.
#include <zip.h>

#include <stdexcept>

#include "tests/io/zip_test_archive.h"

namespace ombrel::testing {

// Writes the archive at `path`, replacing any file there.
void WriteZip(const std::string& path, const std::vector<ZipItem>& items) {
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
        const zip_flags_t encoding = item.nameEncoding == ZipNameEncoding::Cp437
                                         ? ZIP_FL_ENC_CP437
                                         : ZIP_FL_ENC_UTF_8;
        zip_int64_t index =
            zip_file_add(archive, item.name.c_str(), source, encoding | ZIP_FL_OVERWRITE);
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

}  // namespace ombrel::testing
