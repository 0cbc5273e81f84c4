// The archive reader on any bytes: the layout check, then every entry through the reader as
// the file system service would unpack it (names resolved, data read to the end), without
// writing files.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "io/paths.h"
#include "io/zip_layout.h"
#include "io/zip_reader.h"

using namespace ombrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<TZipLayoutEntry> layout;
    const auto read = [data, size](uint64_t offset, void* buffer, size_t length) {
        if (offset > size || length > size - offset) return false;
        std::memcpy(buffer, data + offset, length);
        return true;
    };
    TZipLimits limits;
    limits.maxTotalSize = 64u << 20;
    if (!CheckZipLayout(size, read, limits, layout).empty()) return 0;

    int fd = ::memfd_create("archive", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return 0;
    }
    TZipReader reader;
    std::string error;
    if (!reader.Open(fd, error)) return 0;
    for (uint64_t i = 0; i < reader.Count(); ++i) {
        TZipEntry entry;
        if (!reader.Entry(i, entry, error)) break;
        try {
            (void)JoinInside("/out", entry.Name);
        } catch (const EPathError&) {
        }
        uint64_t total = 0;
        reader.Extract(
            i, entry,
            [&total](const char*, size_t length) {
                total += length;
                return std::string();
            },
            [](uint64_t, bool) {}, error);
    }
    return 0;
}
