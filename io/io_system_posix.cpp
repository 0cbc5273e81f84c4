#include "io/io_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include <fmt/printf.h>

#include "io/atomic_file.h"
#include "io/file_mask.h"
#include "io/paths.h"
#include "io/text.h"
#include "io/zip_reader.h"
#include "platform/file_usage.h"

namespace ombrel {
namespace fs = std::filesystem;

namespace {

std::string ErrorText(int code) { return std::error_code(code, std::system_category()).message(); }
std::string LastErrorText() { return ErrorText(errno); }

// A plain file descriptor, closed on destruction.
class TFd {
public:
    explicit TFd(int fd) : iFd(fd) {}
    ~TFd() {
        if (iFd >= 0) ::close(iFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return iFd; }

private:
    int iFd;
};

// ---- Listing ---------------------------------------------------------------------------

// Appends the relative names ("/" between folders) of the regular files below the folder
// `dirFd` (taken over), depth first, each folder in the order the platform delivers it.
// Links are neither listed nor followed.
std::error_code ListFiles(int dirFd, const std::string& relative, TStrings& result) {
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        std::error_code error = LastError();
        ::close(dirFd);
        return error;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, ::closedir);
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0) return LastError();
            return {};
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                return LastError();
            }
            type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_LNK;
        }
        std::string path = relative.empty() ? std::string(name) : relative + "/" + entry->d_name;
        if (type == DT_REG) {
            result.push_back(std::move(path));
        } else if (type == DT_DIR) {
            int sub = ::openat(::dirfd(dir), entry->d_name,
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) return LastError();
            if (std::error_code error = ListFiles(sub, path, result)) return error;
        }
    }
}

// A folder and a name below it: the folder, a separator unless it ends in one, the name. Only a
// name beginning with a separator stands for itself; on this platform "a:b.txt" is a plain file
// name, not a drive path, so path joining's drive rule must not cut the folder off. Both parts are
// checked for characters that paths may not contain (EPathError).
std::string JoinBelow(const std::string& folder, const std::string& name) {
    CheckPathChars(folder);
    CheckPathChars(name);
    if (folder.empty() || (!name.empty() && (name[0] == '/' || name[0] == '\\'))) return name;
    if (name.empty()) return folder;
    const char last = folder.back();
    return last == '/' || last == '\\' ? folder + name : folder + "/" + name;
}

std::string BareName(const std::string& relative) {
    size_t pos = relative.rfind('/');
    return pos == std::string::npos ? relative : relative.substr(pos + 1);
}

std::string InvalidMaskText(const std::string& mask) {
    return fmt::sprintf("Invalid file mask: '%s'", mask);
}

// ---- Text files ------------------------------------------------------------------------

const char kBom[] = "\xEF\xBB\xBF";

// Length of the valid UTF-8 sequence at `pos`, or 0.
size_t Utf8SequenceLength(std::string_view text, size_t pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos);
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
    } else {
        return 0;
    }
    if (pos + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) return 0;
    }
    unsigned char second = byte(pos + 1);
    if (lead == 0xE0 && second < 0xA0) return 0;   // overlong
    if (lead == 0xED && second >= 0xA0) return 0;  // surrogate
    if (lead == 0xF0 && second < 0x90) return 0;   // overlong
    if (lead == 0xF4 && second >= 0x90) return 0;  // above U+10FFFF
    return length;
}

// Decodes UTF-8 as a decoder would: every byte that is not part of a valid sequence becomes
// U+FFFD, so the lines handed on are always valid UTF-8.
std::string DecodeUtf8(std::string_view bytes) {
    std::string result;
    result.reserve(bytes.size());
    size_t pos = 0;
    while (pos < bytes.size()) {
        if (static_cast<unsigned char>(bytes[pos]) < 0x80) {
            result += bytes[pos++];
            continue;
        }
        size_t length = Utf8SequenceLength(bytes, pos);
        if (length == 0) {
            result += "\xEF\xBF\xBD";
            ++pos;
        } else {
            result.append(bytes.substr(pos, length));
            pos += length;
        }
    }
    return result;
}

TStrings SplitLines(std::string_view text) {
    TStrings lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\r' && c != '\n') continue;
        lines.emplace_back(text.substr(start, i - start));
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

// Reads a whole file. Answers false with the platform's text in `error`.
bool ReadWholeFile(const std::string& path, std::string& content, std::string& error) {
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        error = LastErrorText();
        return false;
    }
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0) {
        error = LastErrorText();
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = ErrorText(EISDIR);
        return false;
    }
    content.clear();
    if (st.st_size > 0) content.reserve(static_cast<size_t>(st.st_size));
    char buffer[64 * 1024];
    for (;;) {
        ssize_t got = ::read(fd.Get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = LastErrorText();
            return false;
        }
        if (got == 0) return true;
        content.append(buffer, static_cast<size_t>(got));
    }
}

// ---- Copying ---------------------------------------------------------------------------

std::error_code CopyData(int in, int out) {
    // In-kernel copy first; some file systems and kernels refuse it, then copy by hand.
    bool kernelCopy = true;
    while (kernelCopy) {
        ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
        if (copied > 0) continue;
        if (copied == 0) return {};
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
            errno == EPERM) {
            kernelCopy = false;
        } else {
            return LastError();
        }
    }
    std::vector<char> buffer(1024 * 1024);
    for (;;) {
        ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        if (got == 0) return {};
        if (std::error_code error = WriteAll(out, buffer.data(), static_cast<size_t>(got))) {
            return error;
        }
    }
}

// ---- Archives --------------------------------------------------------------------------

// True when every component of the name is empty or ".": a folder entry for the root.
bool NamesRoot(std::string_view name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (!part.empty() && part != ".") return false;
        start = end + 1;
    }
    return true;
}

std::vector<std::string> SplitComponents(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        if (end > start) parts.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Opens, creating where missing, the folder made of the first `count` components below
// `rootFd`, never through a link. `linkFound` tells that a component is a link.
std::error_code OpenFolderInside(int rootFd, const std::vector<std::string>& parts, size_t count,
                                 TDirFd& result, bool& linkFound) {
    linkFound = false;
    int dupFd = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0) return LastError();
    TDirFd current(dupFd);
    for (size_t i = 0; i < count; ++i) {
        const char* part = parts[i].c_str();
        const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int fd = ::openat(current.Get(), part, flags);
        if (fd < 0 && errno == ENOENT) {
            if (::mkdirat(current.Get(), part, 0777) != 0 && errno != EEXIST) return LastError();
            fd = ::openat(current.Get(), part, flags);
        }
        if (fd < 0) {
            std::error_code error = LastError();
            struct stat st;
            if (::fstatat(current.Get(), part, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)) {
                linkFound = true;
            }
            return error;
        }
        current = TDirFd(fd);
    }
    result = std::move(current);
    return {};
}

// Mode bits for an extracted file, applied to its open descriptor.
std::error_code ApplyAttributes(int fd, const TZipEntry& entry) {
    const uint32_t unixMode = entry.UnixMode();
    if (entry.Host == TZipEntry::kHostUnix && (unixMode & 0777) != 0) {
        // As stored, but never setuid, setgid or sticky.
        if (::fchmod(fd, unixMode & 0777) != 0) return LastError();
    } else if (entry.IsDosReadOnly()) {
        struct stat st;
        if (::fstat(fd, &st) != 0) return LastError();
        if (::fchmod(fd, st.st_mode & 0555) != 0) return LastError();
    }
    if (entry.HasModTime) {
        struct timespec times[2];
        times[0].tv_sec = entry.ModTime;
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (::futimens(fd, times) != 0) return LastError();
    }
    return {};
}

}  // namespace

TIO::TIO(IMessagesPtr Messages) : Messages(std::move(Messages)) {}

void TIO::DoError(const std::string& text) { Messages->Error(text, Sender); }

void TIO::DoLog(const std::string& text) { Messages->Log(text, Sender); }

bool TIO::DirectoryExists(const std::string& Path) {
    if (Path.empty()) return false;
    struct stat st;
    if (::stat(Path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (errno == ENOENT || errno == ENOTDIR) return false;
    DoError(LastErrorText());
    return false;
}

bool TIO::FileExists(const std::string& Path) {
    struct stat st;
    return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool TIO::FileDelete(const std::string& path) {
    // unlink removes a link itself, and refuses a folder.
    if (::unlink(path.c_str()) != 0) {
        DoError(LastErrorText());
        return false;
    }
    return true;
}

bool TIO::Copyfile(const std::string& source, const std::string& target) {
    const TPathParts parts = SplitPath(target);
    std::error_code error;
    if (!fs::is_directory(parts.folder, error)) {
        fs::create_directories(parts.folder, error);
        if (error) {
            DoError(error.message());
            return false;
        }
    }
    TFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0) {
        DoError(LastErrorText());
        return false;
    }
    struct stat st;
    if (::fstat(in.Get(), &st) != 0) {
        DoError(LastErrorText());
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        DoError(ErrorText(EISDIR));
        return false;
    }
    if (parts.name.empty()) {
        DoError(ErrorText(EISDIR));
        return false;
    }
    TDirFd dir;
    TAtomicFile out;
    if (!(error = TDirFd::Open(parts.folder, dir)) && !(error = out.Create(dir.Get(), parts.name, true)) &&
        !(error = CopyData(in.Get(), out.Fd()))) {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (::fchmod(out.Fd(), st.st_mode & 0777) != 0 || ::futimens(out.Fd(), times) != 0) {
            error = LastError();
        } else {
            error = out.Commit(false);
        }
    }
    if (error) {
        DoError(error.message());
        return false;
    }
    return true;
}

bool TIO::GetFiles(const std::string& path, const TStrings& masks, TStrings& files) {
    files.clear();
    if (masks.empty()) return false;

    const bool single = masks.size() == 1;
    std::vector<TFileMask> parsed(masks.size());
    for (size_t i = 0; i < masks.size(); ++i) {
        const std::string& mask = masks[i];
        bool valid;
        if (single) {
            // A bare file-name pattern: no folder part, nothing a file name may not hold.
            valid = !IsBlank(mask) && mask.find_first_of("/\\") == std::string::npos &&
                    !HasInvalidPathChars(mask) && TFileMask::Parse(mask, parsed[i]);
        } else {
            // Names from servers may use "\" between folders; the listing uses "/".
            valid = TFileMask::Parse(NormalizeSeparators(mask), parsed[i]);
        }
        if (!valid) {
            DoError(InvalidMaskText(mask));
            return false;
        }
    }

    int dirFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        DoError(LastErrorText());
        return false;
    }
    TStrings listed;
    if (std::error_code error = ListFiles(dirFd, "", listed)) {
        DoError(error.message());
        return false;
    }

    TStrings result;
    try {
        for (const std::string& relative : listed) {
            bool keep = false;
            if (single) {
                // "*.*" stands for every name, also one without a dot.
                keep = masks[0] == "*.*" || parsed[0].Matches(BareName(relative));
            } else {
                for (const TFileMask& mask : parsed) {
                    if (mask.Matches(relative)) {
                        keep = true;
                        break;
                    }
                }
            }
            if (keep) result.push_back(JoinBelow(path, relative));
        }
    } catch (const EPathError& e) {
        DoError(e.what());
        return false;
    }
    files = std::move(result);
    return true;
}

bool TIO::GetFileHashList(const std::string& path, const TStrings& files, THashList& HashList) {
    HashList.clear();
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    for (const std::string& name : files) {
        // A name that is not a valid path ends the whole operation (EPathError).
        const std::string full = JoinBelow(path, name);
        TFd fd(::open(full.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (fd.Get() < 0) {
            if (errno != ENOENT && errno != ENOTDIR) DoError(LastErrorText());
            continue;
        }
        struct stat st;
        if (::fstat(fd.Get(), &st) != 0) {
            DoError(LastErrorText());
            continue;
        }
        if (!S_ISREG(st.st_mode)) continue;  // a folder or device is no file to hash

        if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
            DoError("MD5 is not available");
            continue;
        }
        unsigned char block[4096];
        bool failed = false;
        for (;;) {
            ssize_t got = ::read(fd.Get(), block, sizeof block);
            if (got < 0) {
                if (errno == EINTR) continue;
                DoError(LastErrorText());
                failed = true;
                break;
            }
            if (got == 0) break;
            EVP_DigestUpdate(context.get(), block, static_cast<size_t>(got));
        }
        if (failed) continue;
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(context.get(), digest, &length);
        static const char kHex[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(length * 2);
        for (unsigned int i = 0; i < length; ++i) {
            hex += kHex[digest[i] >> 4];
            hex += kHex[digest[i] & 0x0F];
        }
        HashList.emplace_back(name, std::move(hex));
    }
    return true;
}

bool TIO::GetLines(const std::string& Path, TStrings& lines) {
    lines.clear();
    std::string content;
    std::string error;
    if (!ReadWholeFile(Path, content, error)) {
        DoError(error);
        return false;
    }
    std::string_view bytes = content;
    if (bytes.substr(0, 3) == kBom) bytes.remove_prefix(3);
    lines = SplitLines(DecodeUtf8(bytes));
    return true;
}

bool TIO::SetLines(const std::string& Path, const TStrings& lines) {
    std::string content = kBom;
    size_t size = content.size();
    for (const std::string& line : lines) size += line.size() + 2;
    content.reserve(size);
    for (const std::string& line : lines) {
        content += line;
        content += "\r\n";
    }
    return WriteFileAtomic(Path, content.data(), content.size());
}

bool TIO::AppendLine(const std::string& Path, const std::string& line) {
    TStrings lines;
    if (!GetLines(Path, lines)) return false;
    lines.push_back(line);
    return SetLines(Path, lines);
}

bool TIO::ByteToFile(const std::string& Path, const TBytes& bytes) {
    return WriteFileAtomic(Path, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool TIO::WriteFileAtomic(const std::string& Path, const char* data, size_t size) {
    const TPathParts parts = SplitPath(Path);
    if (parts.name.empty()) {
        DoError(ErrorText(Path.empty() ? ENOENT : EISDIR));
        return false;
    }
    TDirFd dir;
    std::error_code error = TDirFd::Open(parts.folder, dir);
    TAtomicFile file;
    if (!error) error = file.Create(dir.Get(), parts.name);
    if (!error) {
        // A replaced file keeps its permissions.
        struct stat old;
        if (::fstatat(dir.Get(), parts.name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(old.st_mode) && ::fchmod(file.Fd(), old.st_mode & 07777) != 0) {
            error = LastError();
        }
    }
    if (!error) error = file.Write(data, size);
    if (!error) error = file.Commit(true);
    if (error) {
        DoError(error.message());
        return false;
    }
    return true;
}

bool TIO::ForceDirectory(const std::string& Path) {
    std::error_code error;
    if (fs::is_directory(Path, error)) return true;
    fs::create_directories(Path, error);
    if (error) DoError(error.message());
    return fs::is_directory(Path, error);
}

void TIO::DoZipProgress(const std::string& target, uint64_t position, uint64_t size,
                        bool complete) {
    int32_t percent = 0;
    if (size > 0) {
        // Nearest integer, ties to even (the default rounding mode).
        percent = static_cast<int32_t>(
            std::nearbyint(static_cast<double>(position) * 100.0 / static_cast<double>(size)));
    }
    // A chunk that did not move the percent is not worth a report; the final one always is.
    if (!complete && percent == iLastPercent && target == iLastCaption) return;
    iLastCaption = target;
    iLastPercent = percent;
    if (OnProgressRedirect) OnProgressRedirect(target, percent);
}

bool TIO::ExtractZipFile(const std::string& ZipFilePath, const std::string& ExtractPath) {
    return ExtractEntries(ZipFilePath, ExtractPath, ExtractPath);
}

bool TIO::ExtractZipFolder(const std::string& ZipFilePath, const std::string& ExtractPath) {
    // Unpacked beside its final place and renamed when every entry is out, so that a folder
    // under the final name is always complete, whatever stopped an earlier unpacking.
    const std::string staging = ExtractPath + ".part";
    std::error_code error;
    fs::remove_all(staging, error);  // removes links, never what they point to
    if (!error) fs::create_directories(staging, error);
    if (error) {
        DoError(error.message());
        fs::remove_all(staging, error);
        return false;
    }
    bool ok = ExtractEntries(ZipFilePath, staging, ExtractPath);
    if (ok && ::rename(staging.c_str(), ExtractPath.c_str()) != 0) {
        DoError(LastErrorText());
        ok = false;
    }
    if (!ok) fs::remove_all(staging, error);
    return ok;
}

bool TIO::ExtractEntries(const std::string& ZipFilePath, const std::string& ExtractPath,
                         const std::string& CaptionPath) {
    // The archive reader's progress reaches the sink for the length of this extraction only.
    OnProgressRedirect = [this](const std::string& caption, int32_t percent) {
        Messages->Progress(caption, percent);
    };
    struct TReset {
        TIO& io;
        ~TReset() {
            io.OnProgressRedirect = nullptr;
            io.iLastCaption.clear();
            io.iLastPercent = -1;
        }
    } reset{*this};

    TZipReader reader;
    std::string error;
    if (!reader.Open(ZipFilePath, error)) {
        DoError(fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
        return false;
    }

    TDirFd root;
    std::string folderRelative;  // the folder `folder` is open for
    TDirFd folder;
    const uint64_t count = reader.Count();
    for (uint64_t index = 0; index < count; ++index) {
        TZipEntry entry;
        if (!reader.Entry(index, entry, error)) {
            DoError(error);
            return false;
        }
        if (entry.IsSymlink()) {
            DoError(fmt::sprintf("Symbolic link entry not extracted: %s", entry.Name));
            return false;
        }
        const bool isFolder = entry.IsDirectory();
        std::string relative;
        std::string target;  // where the entry ends up, as reports name it
        try {
            if (!(isFolder && NamesRoot(entry.Name))) relative = JoinInside("", entry.Name);
            target = PathJoin(CaptionPath, relative);
        } catch (const EPathError& e) {
            DoError(e.what());
            return false;
        }

        if (!root.IsOpen()) {
            std::error_code failure;
            fs::create_directories(ExtractPath, failure);
            if (!failure) failure = TDirFd::Open(ExtractPath, root);
            if (failure) {
                DoError(failure.message());
                return false;
            }
        }
        std::vector<std::string> parts = SplitComponents(relative);
        const size_t folderDepth = isFolder ? parts.size() : parts.size() - 1;
        const std::string wanted = isFolder ? relative : ExtractFileDir(relative);
        if (!folder.IsOpen() || wanted != folderRelative) {
            bool linkFound = false;
            folder = TDirFd();
            std::error_code failure =
                OpenFolderInside(root.Get(), parts, folderDepth, folder, linkFound);
            if (failure) {
                DoError(linkFound
                            ? fmt::sprintf("Path runs through a symbolic link: %s", target)
                            : failure.message());
                return false;
            }
            folderRelative = wanted;
        }
        if (isFolder) continue;

        TAtomicFile file;
        std::error_code failure = file.Create(folder.Get(), parts.back(), true);
        if (failure) {
            DoError(failure.message());
            return false;
        }
        const int fd = file.Fd();
        const uint64_t size = entry.Size;
        bool ok = reader.Extract(
            index, entry,
            [fd](const char* data, size_t length) {
                std::error_code writeError = WriteAll(fd, data, length);
                return writeError ? writeError.message() : std::string();
            },
            [&](uint64_t position, bool complete) {
                DoZipProgress(target, position, size, complete);
            },
            error);
        if (!ok) {
            DoError(error);
            return false;
        }
        if ((failure = ApplyAttributes(fd, entry)) || (failure = file.Commit(false))) {
            DoError(failure.message());
            return false;
        }
    }
    return true;
}

bool TIO::DirectoryDeleteIfEmpty(const std::string& Path) {
    if (fs::is_symlink(fs::symlink_status(Path))) return false;
    std::vector<fs::path> subfolders;
    for (const fs::directory_entry& entry : fs::directory_iterator(Path)) {
        if (entry.symlink_status().type() == fs::file_type::directory) {
            subfolders.push_back(entry.path());
        }
    }
    for (const fs::path& subfolder : subfolders) DirectoryDeleteIfEmpty(subfolder.string());
    if (fs::directory_iterator(Path) != fs::directory_iterator()) return false;
    return ::rmdir(Path.c_str()) == 0;
}

bool TIO::CanFileBeOverwritten(const std::string& Path) {
    struct stat st;
    if (::lstat(Path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return true;
        DoLog(LastErrorText());
        return false;
    }
    // A link is replaced, not written through, and a folder is no file of that name.
    if (S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode)) return true;
    if (std::error_code error = ProbeExclusiveWrite(Path)) {
        DoLog(error.message());
        return false;
    }
    return true;
}

}  // namespace ombrel
