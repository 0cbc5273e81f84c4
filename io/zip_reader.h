#pragma once
// The archive reader: reads zip archives through libzip and inflates their entries. The only
// unit that sees libzip; everything else works with TZipEntry and byte chunks.

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

namespace ombrel {

// One entry of the central directory.
struct TZipEntry {
    static constexpr uint8_t kHostMsDos = 0;
    static constexpr uint8_t kHostUnix = 3;
    static constexpr uint16_t kMethodStored = 0;
    static constexpr uint16_t kMethodDeflated = 8;

    // UTF-8: decoded as UTF-8 when the entry says so or when it is valid UTF-8, otherwise from
    // the legacy code page 437. Separators as stored ("/" or "\"); not checked in any way.
    std::string Name;
    uint64_t Size = 0;            // uncompressed, as declared
    uint64_t CompressedSize = 0;  // as declared
    uint32_t Crc = 0;
    uint16_t Method = 0;
    bool Encrypted = false;
    bool HasModTime = false;
    time_t ModTime = 0;           // MS-DOS time read as local time
    uint8_t Host = 0;             // high byte of "version made by"
    uint32_t ExternalAttributes = 0;

    // The name ends in a separator.
    bool IsDirectory() const;
    // Made on Unix with the file type "symbolic link" in the high 16 bits of the attributes.
    bool IsSymlink() const;
    // The Unix mode of an entry made on Unix (high 16 bits of the attributes), else 0.
    uint32_t UnixMode() const;
    // The MS-DOS read-only attribute of an entry made on MS-DOS.
    bool IsDosReadOnly() const;
};

class TZipReader {
public:
    // Compressed input is handed to the inflater, and progress reported, in chunks of this size.
    static constexpr size_t kInputChunk = 64 * 1024;

    // Receives the entry's data in order; answers an empty text to go on, or the failure text
    // to stop with.
    using TWrite = std::function<std::string(const char* data, size_t size)>;
    // Receives the number of the entry's bytes produced so far, after each chunk of compressed
    // input, and once more with `complete` set when the entry has been read to its end and
    // checked.
    using TProgress = std::function<void(uint64_t position, bool complete)>;

    TZipReader();
    ~TZipReader();
    TZipReader(const TZipReader&) = delete;
    TZipReader& operator=(const TZipReader&) = delete;

    // Opens the archive for reading and reads its central directory. False, with libzip's
    // text in `error`, for a missing or unreadable file or one that is not a zip archive.
    bool Open(const std::string& path, std::string& error);
    // The same for an archive already open: takes over `fd` (also when it fails).
    bool Open(int fd, std::string& error);

    uint64_t Count() const;

    // CRC-32 as zip archives use it, continued from `crc` (start with Crc32(0, nullptr, 0)).
    static uint32_t Crc32(uint32_t crc, const void* data, size_t size);

    // The entry of the central directory at `index` (0 to Count() - 1).
    bool Entry(uint64_t index, TZipEntry& entry, std::string& error) const;

    // Reads the entry's data to its end, inflating a deflated entry, and hands it to `write`.
    // Fails (with the library's text in `error`) for an encrypted entry, a method other than
    // stored or deflated, damaged data, data longer or shorter than the declared size and a
    // CRC that does not match; data handed on before the failure was found stays handed on.
    bool Extract(uint64_t index, const TZipEntry& entry, const TWrite& write,
                 const TProgress& progress, std::string& error);

private:
    struct TImpl;
    std::unique_ptr<TImpl> iImpl;
};

}  // namespace ombrel
