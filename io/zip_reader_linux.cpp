#include "io/zip_reader.h"

#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <memory>
#include <vector>

namespace ombrel {
namespace {

std::string ZipErrorText(int code) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

std::string ZipErrorText(zip_error_t* error) { return zip_error_strerror(error); }

struct TZipFileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using TZipFilePtr = std::unique_ptr<zip_file_t, TZipFileCloser>;

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

bool TZipEntry::IsSymlink() const { return (UnixMode() & S_IFMT) == S_IFLNK; }

bool TZipEntry::IsDosReadOnly() const {
    return Host == kHostMsDos && (ExternalAttributes & 0x01) != 0;
}

// Deflated entries of at most one chunk of input and this much output are inflated in one
// piece with libdeflate, which is faster than zlib's stream, above all for the many small files
// of a package; their progress is the same either way (only the final report).
constexpr uint64_t kWholeEntryMax = 1024 * 1024;

struct TZipReader::TImpl {
    zip_t* archive = nullptr;
    std::vector<char> input;
    std::vector<char> output;
    libdeflate_decompressor* decompressor = nullptr;

    ~TImpl() {
        if (archive) zip_discard(archive);
        if (decompressor) libdeflate_free_decompressor(decompressor);
    }

    // Inflates a small entry in one piece into `output`. False when that cannot be done: the
    // entry is then read again as a stream, which finds and names what is wrong with it.
    bool InflateWhole(uint64_t index, const TZipEntry& entry) {
        if (!decompressor) decompressor = libdeflate_alloc_decompressor();
        if (!decompressor) return false;
        TZipFilePtr file(zip_fopen_index(archive, index, ZIP_FL_COMPRESSED));
        if (!file) return false;
        const size_t want = static_cast<size_t>(entry.CompressedSize);
        if (input.size() < want) input.resize(want);
        size_t have = 0;
        while (have < want) {
            zip_int64_t got = zip_fread(file.get(), input.data() + have, want - have);
            if (got <= 0) return false;
            have += static_cast<size_t>(got);
        }
        const size_t size = static_cast<size_t>(entry.Size);
        if (output.size() < size) output.resize(size);
        size_t produced = 0;
        return libdeflate_deflate_decompress(decompressor, input.data(), have, output.data(),
                                             size, &produced) == LIBDEFLATE_SUCCESS &&
               produced == size;
    }
};

TZipReader::TZipReader() : iImpl(std::make_unique<TImpl>()) {}
TZipReader::~TZipReader() = default;

bool TZipReader::Open(const std::string& path, std::string& error) {
    if (iImpl->archive) {
        zip_discard(iImpl->archive);
        iImpl->archive = nullptr;
    }
    int code = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &code);
    if (!archive) {
        error = ZipErrorText(code);
        return false;
    }
    iImpl->archive = archive;
    return true;
}

bool TZipReader::Open(int fd, std::string& error) {
    if (iImpl->archive) {
        zip_discard(iImpl->archive);
        iImpl->archive = nullptr;
    }
    int code = 0;
    zip_t* archive = zip_fdopen(fd, 0, &code);
    if (!archive) {
        ::close(fd);
        error = ZipErrorText(code);
        return false;
    }
    iImpl->archive = archive;
    return true;
}

uint32_t TZipReader::Crc32(uint32_t crc, const void* data, size_t size) {
    if (data == nullptr) return 0;
    // The same CRC as zlib's, several times faster where the processor multiplies carry-less.
    return libdeflate_crc32(crc, data, size);
}

uint64_t TZipReader::Count() const {
    if (!iImpl->archive) return 0;
    zip_int64_t count = zip_get_num_entries(iImpl->archive, 0);
    return count < 0 ? 0 : static_cast<uint64_t>(count);
}

bool TZipReader::Entry(uint64_t index, TZipEntry& entry, std::string& error) const {
    zip_t* archive = iImpl->archive;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, ZIP_FL_ENC_GUESS, &st) != 0) {
        error = ZipErrorText(zip_get_error(archive));
        return false;
    }
    zip_uint8_t host = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &host, &attributes) != 0) {
        error = ZipErrorText(zip_get_error(archive));
        return false;
    }
    entry = TZipEntry{};
    entry.Name = (st.valid & ZIP_STAT_NAME) && st.name ? st.name : "";
    entry.Size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
    entry.CompressedSize = (st.valid & ZIP_STAT_COMP_SIZE) ? st.comp_size : 0;
    entry.Crc = (st.valid & ZIP_STAT_CRC) ? st.crc : 0;
    entry.Method = (st.valid & ZIP_STAT_COMP_METHOD) ? st.comp_method : 0;
    entry.Encrypted =
        (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
    entry.HasModTime = (st.valid & ZIP_STAT_MTIME) != 0;
    entry.ModTime = entry.HasModTime ? st.mtime : 0;
    entry.Host = host;
    entry.ExternalAttributes = attributes;
    return true;
}

bool TZipReader::Extract(uint64_t index, const TZipEntry& entry, const TWrite& write,
                         const TProgress& progress, std::string& error) {
    if (entry.Encrypted) {
        error = ZipErrorText(ZIP_ER_ENCRNOTSUPP);
        return false;
    }
    const bool deflated = entry.Method == TZipEntry::kMethodDeflated;
    if (!deflated && entry.Method != TZipEntry::kMethodStored) {
        error = ZipErrorText(ZIP_ER_COMPNOTSUPP);
        return false;
    }

    if (deflated && entry.Size <= kWholeEntryMax && entry.CompressedSize <= kInputChunk &&
        iImpl->InflateWhole(index, entry)) {
        const char* data = iImpl->output.data();
        const size_t size = static_cast<size_t>(entry.Size);
        if (Crc32(0, data, size) != entry.Crc) {
            error = ZipErrorText(ZIP_ER_CRC);
            return false;
        }
        if (std::string failure = write(data, size); !failure.empty()) {
            error = std::move(failure);
            return false;
        }
        if (progress) progress(entry.Size, true);
        return true;
    }

    // The raw data, inflated here: this way progress follows the compressed input exactly,
    // and the declared size and the CRC are checked by us (libzip would deliver more data
    // than declared, and tells of a bad CRC only on an extra read).
    TZipFilePtr file(zip_fopen_index(iImpl->archive, index, ZIP_FL_COMPRESSED));
    if (!file) {
        error = ZipErrorText(zip_get_error(iImpl->archive));
        return false;
    }
    TInflater inflater;
    if (deflated && !inflater.Init()) {
        error = ZipErrorText(ZIP_ER_MEMORY);
        return false;
    }
    constexpr size_t kOutputSize = 1024 * 1024;
    iImpl->input.resize(kInputChunk);
    iImpl->output.resize(kOutputSize);
    char* const input = iImpl->input.data();
    char* const output = iImpl->output.data();

    uint64_t produced = 0;
    uint32_t crc = Crc32(0, nullptr, 0);
    bool streamEnd = !deflated;
    const auto deliver = [&](const char* data, size_t size) {
        if (size > entry.Size - produced) {
            error = ZipErrorText(ZIP_ER_INCONS);
            return false;
        }
        crc = Crc32(crc, data, size);
        produced += size;
        std::string failure = write(data, size);
        if (!failure.empty()) {
            error = std::move(failure);
            return false;
        }
        return true;
    };

    for (;;) {
        zip_int64_t got = zip_fread(file.get(), input, kInputChunk);
        if (got < 0) {
            error = ZipErrorText(zip_file_get_error(file.get()));
            return false;
        }
        if (got == 0) break;
        if (!deflated) {
            if (!deliver(input, static_cast<size_t>(got))) return false;
        } else {
            if (streamEnd) continue;  // bytes after the end of the deflate stream are ignored
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
        error = ZipErrorText(ZIP_ER_COMPRESSED_DATA);
        return false;
    }
    if (produced != entry.Size) {
        error = ZipErrorText(ZIP_ER_INCONS);
        return false;
    }
    if (crc != entry.Crc) {
        error = ZipErrorText(ZIP_ER_CRC);
        return false;
    }
    if (progress) progress(produced, true);
    return true;
}

}  // namespace ombrel
