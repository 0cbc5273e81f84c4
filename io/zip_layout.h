#pragma once
// The layout of a zip archive, read straight from its bytes before anything is unpacked: where
// each entry's header and data lie, and what it declares. Archives built to hurt (entries whose
// data overlap so that a few bytes unpack many times, entries that unpack to far more than
// their archive, more data than any installation needs) are refused by CheckZipLayout before a
// single file is written. No library involved, so every platform's archive reader uses it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ombrel {

struct TZipLimits {
    // Sum of the declared sizes of all entries.
    uint64_t maxTotalSize = uint64_t{8} << 30;
    // Declared size over compressed size, for one entry and for the whole archive over its
    // file size. Deflate reaches about 1000 on runs of one byte; real files stay far below.
    uint64_t maxRatio = 200;
    // Entries (and archives) that unpack to less than this are not judged by their ratio: a
    // small file of zeros is no threat.
    uint64_t ratioFloor = uint64_t{1} << 20;
    // Number of entries.
    uint64_t maxEntries = 1000000;
};

// One entry as its central directory record and its local header give it.
struct TZipLayoutEntry {
    std::string rawName;  // the bytes of the name as stored in the central directory
    uint64_t size = 0;            // declared uncompressed size
    uint64_t compressedSize = 0;  // declared compressed size
    uint64_t headerOffset = 0;    // where the local header begins
    uint64_t dataOffset = 0;      // where the compressed data begin
    // The rest of the central directory record, for readers that need no library.
    uint16_t flags = 0;           // general purpose bits (bit 0: encrypted, bit 11: UTF-8 name)
    uint16_t method = 0;
    uint16_t dosTime = 0;
    uint16_t dosDate = 0;
    uint32_t crc = 0;
    uint8_t host = 0;             // high byte of "version made by"
    uint32_t externalAttributes = 0;
    // The name of an Info-ZIP Unicode Path field, when the field matches the stored name.
    std::string unicodeName;
};

// Why an archive's layout could not be read.
enum class TZipLayoutFault {
    None,
    NotAnArchive,  // no end record
    MultiPart,     // an archive in several parts
    Unreadable,    // the bytes could not be read
    Damaged,       // anything else
};

// Reads `size` bytes at `offset` into `buffer`; false when they cannot be read.
using TZipReadAt = std::function<bool(uint64_t offset, void* buffer, size_t size)>;

// Reads the end record (also the ZIP64 one), the central directory and every local header of
// an archive of `fileSize` bytes. Answers an empty text and fills `entries` (in central
// directory order) when the layout is sound; otherwise a text that says what is wrong.
std::string ReadZipLayout(uint64_t fileSize, const TZipReadAt& read,
                          std::vector<TZipLayoutEntry>& entries);
// The end record and the central directory only, as an archive reader needs them to open an
// archive: `dataOffset` stays 0, the local headers are not read. `fault` tells the kind of
// failure.
std::string ReadZipDirectory(uint64_t fileSize, const TZipReadAt& read,
                             std::vector<TZipLayoutEntry>& entries, TZipLayoutFault& fault);

// ReadZipLayout, then the limits: no two entries may share bytes (each entry's local header
// and data lie before the next one's, all before the central directory), and the totals and
// ratios stay within `limits`. Answers an empty text when the archive may be unpacked.
std::string CheckZipLayout(uint64_t fileSize, const TZipReadAt& read, const TZipLimits& limits,
                           std::vector<TZipLayoutEntry>& entries);

}  // namespace ombrel
