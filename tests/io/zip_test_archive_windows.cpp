// Test archives written byte by byte, as the Linux build's libzip writes them: host Unix with
// mode 0100666 (0040777 for folders) unless told otherwise, MS-DOS times in local time.
#include <zlib.h>

#include <ctime>
#include <stdexcept>

#include "tests/io/raw_zip.h"
#include "tests/io/zip_test_archive.h"
#include "tests/support/test_support.h"

namespace ombrel::testing {
namespace {

std::string Deflate(const std::string& data) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    std::string out(deflateBound(&zs, static_cast<uLong>(data.size())), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

void WriteZip(const std::string& path, const std::vector<ZipItem>& items) {
    RawZip zip;
    const time_t now = std::time(nullptr);
    for (const ZipItem& item : items) {
        RawZip::Entry entry;
        entry.name = item.name;
        entry.size = item.data.size();
        entry.crc = RawZip::Crc(item.data);
        entry.method = item.deflate ? 8 : 0;
        entry.data = item.deflate ? Deflate(item.data) : item.data;
        entry.flags = item.nameEncoding == ZipNameEncoding::Utf8 && !IsAscii(item.name) ? 0x0800 : 0;
        const bool folder = !item.name.empty() && item.name.back() == '/';
        entry.host = 3;
        entry.externalAttributes = (folder ? 0040777u : 0100666u) << 16;
        if (item.unixMode) entry.externalAttributes = *item.unixMode << 16;
        if (item.dosAttributes) {
            entry.host = 0;
            entry.externalAttributes = *item.dosAttributes;
        }
        const time_t mtime = item.mtime != 0 ? item.mtime : now;
        const struct tm* local = std::localtime(&mtime);
        if (local == nullptr) throw std::runtime_error("localtime failed");
        entry.dosDate = static_cast<uint16_t>((local->tm_year + 1900 - 1980) << 9 |
                                              (local->tm_mon + 1) << 5 | local->tm_mday);
        entry.dosTime = static_cast<uint16_t>(local->tm_hour << 11 | local->tm_min << 5 |
                                              local->tm_sec / 2);
        zip.Add(entry);
    }
    WriteFileBytes(path, zip.Finish());
}

}  // namespace ombrel::testing
