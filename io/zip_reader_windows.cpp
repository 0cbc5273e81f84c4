#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "io/zip_layout.h"
#include "io/zip_reader.h"
#include "platform/win32_text.h"

// The archive reader without a zip library: the central directory is read by io/zip_layout.h,
// the data are read from the file and inflated by zlib. Failures carry the texts that the
// Linux build's library gives, so that reports read the same on both platforms.

namespace ombrel {
namespace {

const char kNotAnArchive[] = "Not a zip archive";
const char kNoSuchFile[] = "No such file";
const char kMultiPart[] = "Multi-disk zip archives not supported";
const char kReadError[] = "Read error";
const char kInconsistent[] = "Zip archive inconsistent";
const char kCrcError[] = "CRC error";
const char kCompressedDataInvalid[] = "Compressed data invalid";
const char kEncryptionNotSupported[] = "Encryption method not supported";
const char kCompressionNotSupported[] = "Compression method not supported";
const char kInvalidArgument[] = "Invalid argument";
const char kMallocFailure[] = "Malloc failure";

constexpr uint16_t kFlagEncrypted = 0x0001;
constexpr uint16_t kFlagUtf8 = 0x0800;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kLocalSize = 30;

// Code page 437, as the old MS-DOS zip programs stored names.
constexpr uint16_t kCp437[256] = {
    0x0000, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022,
    0x25D8, 0x25CB, 0x25D9, 0x2642, 0x2640, 0x266A, 0x266B, 0x263C,
    0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC,
    0x0020, 0x0021, 0x0022, 0x0023, 0x0024, 0x0025, 0x0026, 0x0027,
    0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,
    0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F,
    0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057,
    0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F,
    0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067,
    0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,
    0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x2302,
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

enum class TNameKind { Ascii, Utf8, Other };

// How a stored name reads: plain ASCII (tabs and line breaks allowed), well-formed UTF-8
// sequences, or neither.
TNameKind NameKind(const std::string& name) {
    TNameKind kind = TNameKind::Ascii;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if ((c > 31 && c < 128) || c == '\r' || c == '\n' || c == '\t') continue;
        kind = TNameKind::Utf8;
        size_t follow;
        if ((c & 0xE0) == 0xC0) {
            follow = 1;
        } else if ((c & 0xF0) == 0xE0) {
            follow = 2;
        } else if ((c & 0xF8) == 0xF0) {
            follow = 3;
        } else {
            return TNameKind::Other;
        }
        if (i + follow >= name.size()) return TNameKind::Other;
        for (size_t j = 1; j <= follow; ++j) {
            if ((static_cast<unsigned char>(name[i + j]) & 0xC0) != 0x80) return TNameKind::Other;
        }
        i += follow;
    }
    return kind;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string FromCp437(const std::string& name) {
    std::string out;
    out.reserve(name.size() * 2);
    for (char c : name) AppendUtf8(out, kCp437[static_cast<unsigned char>(c)]);
    return out;
}

// MS-DOS date and time, read as local time.
time_t DosTime(uint16_t time, uint16_t date) {
    struct tm tm {};
    tm.tm_isdst = -1;
    tm.tm_year = ((date >> 9) & 127) + 1980 - 1900;
    tm.tm_mon = ((date >> 5) & 15) - 1;
    tm.tm_mday = date & 31;
    tm.tm_hour = (time >> 11) & 31;
    tm.tm_min = (time >> 5) & 63;
    tm.tm_sec = (time << 1) & 62;
    return mktime(&tm);
}

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, size_t size) {
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(file, p, chunk, &got, &at) || got == 0) return false;
        p += got;
        size -= got;
        offset += got;
    }
    return true;
}

// Inflate state that ends with its owner.
class TInflater {
public:
    TInflater() = default;
    ~TInflater() {
        if (iReady) inflateEnd(&iStream);
    }
    TInflater(const TInflater&) = delete;
    TInflater& operator=(const TInflater&) = delete;

    bool Init() {
        // Raw deflate data: zip entries carry no zlib header.
        iReady = inflateInit2(&iStream, -MAX_WBITS) == Z_OK;
        return iReady;
    }
    z_stream& Stream() { return iStream; }

private:
    z_stream iStream{};
    bool iReady = false;
};

}  // namespace

bool TZipEntry::IsDirectory() const {
    return !Name.empty() && (Name.back() == '/' || Name.back() == '\\');
}

uint32_t TZipEntry::UnixMode() const { return Host == kHostUnix ? ExternalAttributes >> 16 : 0; }

bool TZipEntry::IsSymlink() const { return (UnixMode() & 0170000) == 0120000; }

bool TZipEntry::IsDosReadOnly() const {
    return Host == kHostMsDos && (ExternalAttributes & 0x01) != 0;
}

struct TZipReader::TImpl {
    HANDLE file = INVALID_HANDLE_VALUE;
    uint64_t fileSize = 0;
    std::vector<TZipLayoutEntry> entries;
    std::vector<char> input;
    std::vector<char> output;

    void Close() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
        fileSize = 0;
        entries.clear();
    }
    ~TImpl() { Close(); }

    bool Read(HANDLE handle, std::string& error) {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(handle, &size)) {
            CloseHandle(handle);
            error = kReadError;
            return false;
        }
        file = handle;
        fileSize = static_cast<uint64_t>(size.QuadPart);
        TZipLayoutFault fault = TZipLayoutFault::None;
        const std::string problem = ReadZipDirectory(
            fileSize,
            [handle](uint64_t offset, void* buffer, size_t length) {
                return ReadAt(handle, offset, buffer, length);
            },
            entries, fault);
        if (problem.empty()) {
            // A name that says it is UTF-8 must be.
            for (const TZipLayoutEntry& entry : entries) {
                if ((entry.flags & kFlagUtf8) != 0 && NameKind(entry.rawName) == TNameKind::Other) {
                    fault = TZipLayoutFault::Damaged;
                    break;
                }
            }
        }
        switch (fault) {
        case TZipLayoutFault::None:
            return true;
        case TZipLayoutFault::NotAnArchive:
            error = kNotAnArchive;
            break;
        case TZipLayoutFault::MultiPart:
            error = kMultiPart;
            break;
        case TZipLayoutFault::Unreadable:
            error = kReadError;
            break;
        case TZipLayoutFault::Damaged:
            error = kInconsistent;
            break;
        }
        Close();
        return false;
    }
};

TZipReader::TZipReader() : iImpl(std::make_unique<TImpl>()) {}
TZipReader::~TZipReader() = default;

bool TZipReader::Open(const std::string& path, std::string& error) {
    iImpl->Close();
    HANDLE file = CreateFileW(Win32Path(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                    ? kNoSuchFile
                    : "Can't open file: " + Win32ErrorText(code);
        return false;
    }
    return iImpl->Read(file, error);
}

bool TZipReader::Open(int fd, std::string& error) {
    iImpl->Close();
    HANDLE file = LongToHandle(fd);
    if (fd < 0 || file == INVALID_HANDLE_VALUE) {
        error = kInvalidArgument;
        return false;
    }
    return iImpl->Read(file, error);
}

uint32_t TZipReader::Crc32(uint32_t crc, const void* data, size_t size) {
    if (data == nullptr) return static_cast<uint32_t>(crc32(0, nullptr, 0));
    return static_cast<uint32_t>(crc32_z(crc, static_cast<const Bytef*>(data), size));
}

uint64_t TZipReader::Count() const { return iImpl->entries.size(); }

bool TZipReader::Entry(uint64_t index, TZipEntry& entry, std::string& error) const {
    if (index >= iImpl->entries.size()) {
        error = kInvalidArgument;
        return false;
    }
    const TZipLayoutEntry& raw = iImpl->entries[index];
    entry = TZipEntry{};
    // As the Linux build's library guesses: a name marked UTF-8 or an Info-ZIP Unicode Path
    // is taken as UTF-8, plain ASCII and valid UTF-8 as they are, anything else as CP437.
    if (!raw.unicodeName.empty() && NameKind(raw.unicodeName) != TNameKind::Other) {
        entry.Name = raw.unicodeName;
    } else if ((raw.flags & kFlagUtf8) != 0 || NameKind(raw.rawName) != TNameKind::Other) {
        entry.Name = raw.rawName;
    } else {
        entry.Name = FromCp437(raw.rawName);
    }
    entry.Size = raw.size;
    entry.CompressedSize = raw.compressedSize;
    entry.Crc = raw.crc;
    entry.Method = raw.method;
    entry.Encrypted = (raw.flags & kFlagEncrypted) != 0;
    entry.HasModTime = true;
    entry.ModTime = DosTime(raw.dosTime, raw.dosDate);
    entry.Host = raw.host;
    entry.ExternalAttributes = raw.externalAttributes;
    return true;
}

bool TZipReader::Extract(uint64_t index, const TZipEntry& entry, const TWrite& write,
                         const TProgress& progress, std::string& error) {
    if (entry.Encrypted) {
        error = kEncryptionNotSupported;
        return false;
    }
    const bool deflated = entry.Method == TZipEntry::kMethodDeflated;
    if (!deflated && entry.Method != TZipEntry::kMethodStored) {
        error = kCompressionNotSupported;
        return false;
    }
    if (index >= iImpl->entries.size()) {
        error = kInvalidArgument;
        return false;
    }
    const TZipLayoutEntry& raw = iImpl->entries[index];

    // The data begin after the local header's name and extra field. An entry without its
    // local header, or whose data leave the file, is refused as the Linux build's library
    // refuses it.
    unsigned char local[kLocalSize];
    if (raw.headerOffset > iImpl->fileSize || iImpl->fileSize - raw.headerOffset < kLocalSize ||
        !ReadAt(iImpl->file, raw.headerOffset, local, sizeof local)) {
        error = kInvalidArgument;
        return false;
    }
    const auto le16 = [&](size_t at) { return static_cast<uint64_t>(local[at] | local[at + 1] << 8); };
    const uint32_t signature = static_cast<uint32_t>(le16(0) | le16(2) << 16);
    uint64_t offset = raw.headerOffset + kLocalSize + le16(26) + le16(28);
    uint64_t remaining = raw.compressedSize;
    if (signature != kLocalSignature || offset > iImpl->fileSize ||
        iImpl->fileSize - offset < remaining) {
        error = kInvalidArgument;
        return false;
    }

    TInflater inflater;
    if (deflated && !inflater.Init()) {
        error = kMallocFailure;
        return false;
    }
    constexpr size_t kOutputSize = 1024 * 1024;
    iImpl->input.resize(kInputChunk);
    iImpl->output.resize(kOutputSize);
    char* const input = iImpl->input.data();
    char* const output = iImpl->output.data();

    uint64_t produced = 0;
    uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    bool streamEnd = !deflated;
    const auto deliver = [&](const char* data, size_t size) {
        if (size > entry.Size - produced) {
            error = kInconsistent;
            return false;
        }
        crc = static_cast<uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(data), size));
        produced += size;
        std::string failure = write(data, size);
        if (!failure.empty()) {
            error = std::move(failure);
            return false;
        }
        return true;
    };

    while (remaining > 0) {
        const size_t got = static_cast<size_t>(std::min<uint64_t>(remaining, kInputChunk));
        if (!ReadAt(iImpl->file, offset, input, got)) {
            error = kReadError;
            return false;
        }
        offset += got;
        remaining -= got;
        if (!deflated) {
            if (!deliver(input, got)) return false;
        } else if (!streamEnd) {  // bytes after the end of the deflate stream are ignored
            z_stream& zs = inflater.Stream();
            zs.next_in = reinterpret_cast<Bytef*>(input);
            zs.avail_in = static_cast<uInt>(got);
            do {
                zs.next_out = reinterpret_cast<Bytef*>(output);
                zs.avail_out = static_cast<uInt>(kOutputSize);
                int rc = inflate(&zs, Z_NO_FLUSH);
                size_t have = kOutputSize - zs.avail_out;
                if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                    error = zs.msg ? zs.msg : zError(rc);
                    return false;
                }
                if (have > 0 && !deliver(output, have)) return false;
                if (rc == Z_STREAM_END) {
                    streamEnd = true;
                    break;
                }
                if (rc == Z_BUF_ERROR && have == 0) break;
            } while (zs.avail_in > 0 || zs.avail_out == 0);
        }
        if (progress && produced < entry.Size) progress(produced, false);
    }
    if (!streamEnd) {
        error = kCompressedDataInvalid;
        return false;
    }
    if (produced != entry.Size) {
        error = kInconsistent;
        return false;
    }
    if (crc != entry.Crc) {
        error = kCrcError;
        return false;
    }
    if (progress) progress(produced, true);
    return true;
}

}  // namespace ombrel
