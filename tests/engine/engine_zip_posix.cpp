// The engine tests' zip writer on Linux: libzip.

#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <stdexcept>

#include "tests/engine/engine_fakes.h"

namespace ombrel::testing {

void WriteZip(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& entries) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr) throw std::runtime_error("cannot create " + path);
    for (const auto& [name, content] : entries) {
        if (!name.empty() && name.back() == '/') {
            zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8);
            continue;
        }
        zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
        if (source == nullptr ||
            zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(source);
            zip_discard(archive);
            throw std::runtime_error("cannot add " + name);
        }
    }
    if (zip_close(archive) != 0) throw std::runtime_error("cannot write " + path);
}

std::string ZipBytes(const std::vector<std::pair<std::string, std::string>>& entries) {
    char name[] = "/tmp/ombrel-zip-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp");
    ::close(fd);
    WriteZip(name, entries);
    std::FILE* f = std::fopen(name, "rb");
    std::string bytes;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
    std::remove(name);
    return bytes;
}

}  // namespace ombrel::testing
