#include "tools/ombrel-server/zip_archive.h"

#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "tools/ombrel-server/digest.h"
#include "tools/ombrel-server/file_masks.h"

namespace fs = std::filesystem;

namespace ombrel::server {
namespace {

std::string ZipErrorText(int code) {
    zip_error_t err;
    zip_error_init_with_code(&err, code);
    std::string text = zip_error_strerror(&err);
    zip_error_fini(&err);
    return text;
}

struct TZipCloser {
    void operator()(zip_t* za) const {
        if (za != nullptr) zip_discard(za);
    }
};
struct TZipFileCloser {
    void operator()(zip_file_t* zf) const {
        if (zf != nullptr) zip_fclose(zf);
    }
};

bool ReadEntryMd5(zip_t* za, zip_uint64_t index, uint64_t size, std::string& md5,
                  std::string& error) {
    std::unique_ptr<zip_file_t, TZipFileCloser> zf(zip_fopen_index(za, index, 0));
    if (!zf) {
        error = zip_strerror(za);
        return false;
    }
    TMd5 digest;
    std::vector<char> buffer(1 << 16);
    uint64_t total = 0;
    while (true) {
        zip_int64_t n = zip_fread(zf.get(), buffer.data(), buffer.size());
        if (n < 0) {
            error = zip_file_strerror(zf.get());
            return false;
        }
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        // libzip delivers whatever the data holds; an entry must not grow past its size.
        if (total > size) {
            error = "entry holds more data than it declares";
            return false;
        }
        digest.Update(buffer.data(), static_cast<size_t>(n));
    }
    if (total != size) {
        error = "entry is shorter than it declares";
        return false;
    }
    md5 = digest.Hex();
    return true;
}

}  // namespace

bool ReadZipEntries(const std::string& path, std::vector<TZipEntry>& entries, std::string& error) {
    entries.clear();
    int code = 0;
    std::unique_ptr<zip_t, TZipCloser> za(zip_open(path.c_str(), ZIP_RDONLY, &code));
    if (!za) {
        error = path + " is not a readable zip archive: " + ZipErrorText(code);
        return false;
    }
    std::set<std::string> seen;
    zip_int64_t count = zip_get_num_entries(za.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        if (zip_stat_index(za.get(), index, 0, &st) != 0) {
            error = path + ": " + zip_strerror(za.get());
            return false;
        }
        std::string raw = st.name != nullptr ? st.name : "";
        if (!raw.empty() && (raw.back() == '/' || raw.back() == '\\')) continue;
        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(za.get(), index, 0, &opsys, &attributes);
        uint32_t mode = 0;
        if (opsys == ZIP_OPSYS_UNIX) {
            uint32_t full = attributes >> 16;
            if (S_ISLNK(full)) {
                error = path + ": entry '" + raw + "' is a symbolic link, which is not supported";
                return false;
            }
            if (S_ISDIR(full)) continue;
            mode = full & 07777;
        }
        TZipEntry entry;
        if (!CleanInstallName(raw, entry.Name, error)) {
            error = path + ": " + error;
            return false;
        }
        if (!seen.insert(entry.Name).second) {
            error = path + ": entry '" + entry.Name + "' is given twice";
            return false;
        }
        entry.Mode = mode;
        entry.Size = st.size;
        if (!ReadEntryMd5(za.get(), index, st.size, entry.Md5, error)) {
            error = path + ": entry '" + raw + "': " + error;
            return false;
        }
        entries.push_back(std::move(entry));
    }
    return true;
}

bool WriteZipFromFolder(const std::string& folder, const std::string& zipPath,
                        std::vector<TZipEntry>& entries, std::string& error) {
    entries.clear();
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        error = folder + " is not a folder";
        return false;
    }
    struct TSource {
        std::string name;
        std::string path;
        uint32_t mode;
    };
    std::vector<TSource> sources;
    fs::recursive_directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) {
            error = "cannot read " + p.string();
            return false;
        }
        if (S_ISDIR(st.st_mode)) continue;
        if (!S_ISREG(st.st_mode)) {
            error = p.string() + " is a symbolic link or special file, which packages cannot hold";
            return false;
        }
        std::string relative = fs::relative(p, folder).generic_string();
        if (relative.find('\\') != std::string::npos) {
            error = "file name '" + relative +
                    "' holds a backslash, which installers read as a folder separator";
            return false;
        }
        std::string cleaned;
        if (!CleanInstallName(relative, cleaned, error)) return false;
        sources.push_back({cleaned, p.string(), static_cast<uint32_t>(st.st_mode & 07777)});
    }
    if (ec) {
        error = "cannot list " + folder + ": " + ec.message();
        return false;
    }
    if (sources.empty()) {
        error = folder + " holds no files";
        return false;
    }
    std::sort(sources.begin(), sources.end(),
              [](const TSource& a, const TSource& b) { return a.name < b.name; });

    int code = 0;
    std::unique_ptr<zip_t, TZipCloser> za(
        zip_open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code));
    if (!za) {
        error = "cannot create " + zipPath + ": " + ZipErrorText(code);
        return false;
    }
    for (const auto& source : sources) {
        TZipEntry entry;
        entry.Name = source.name;
        entry.Mode = source.mode;
        entry.Size = fs::file_size(source.path, ec);
        zip_source_t* src = zip_source_file(za.get(), source.path.c_str(), 0, -1);
        if (src == nullptr) {
            error = source.path + ": " + zip_strerror(za.get());
            return false;
        }
        zip_int64_t index = zip_file_add(za.get(), source.name.c_str(), src, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(src);
            error = source.path + ": " + zip_strerror(za.get());
            return false;
        }
        zip_file_set_external_attributes(za.get(), static_cast<zip_uint64_t>(index), 0,
                                         ZIP_OPSYS_UNIX, (S_IFREG | source.mode) << 16);
        entries.push_back(std::move(entry));
    }
    // zip_close writes the archive; the sources are read only now.
    if (zip_close(za.get()) != 0) {
        error = "cannot write " + zipPath + ": " + zip_strerror(za.get());
        return false;
    }
    za.release();
    return true;
}

}  // namespace ombrel::server
