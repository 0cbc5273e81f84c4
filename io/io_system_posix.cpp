#include "io/io_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/printf.h>

#include "io/atomic_file.h"
#include "io/file_mask.h"
#include "io/owned_folders.h"
#include "io/paths.h"
#include "io/text.h"
#include "io/zip_layout.h"
#include "io/unpacked_marker.h"
#include "io/zip_reader.h"
#include "io/failure_text.h"
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

// Reads a whole file, open as `fd` (taken over). Answers false with the platform's text in
// `error`.
bool ReadWholeFile(int openedFd, std::string& content, std::string& error) {
    TFd fd(openedFd);
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

// The process's umask, read once (without changing it) from the kernel's status of the process;
// all bits when it cannot be read, so that modes are always set explicitly then.
mode_t ProcessUmask() {
    static const mode_t mask = [] {
        std::FILE* status = std::fopen("/proc/self/status", "re");
        if (status == nullptr) return static_cast<mode_t>(0777);
        char line[256];
        mode_t value = 0777;
        while (std::fgets(line, sizeof line, status) != nullptr) {
            unsigned parsed;
            if (std::sscanf(line, "Umask: %o", &parsed) == 1) {
                value = static_cast<mode_t>(parsed & 0777);
                break;
            }
        }
        std::fclose(status);
        return value;
    }();
    return mask;
}

// The percent of an entry written, to the nearest integer, ties to even (the default rounding
// mode).
int32_t ZipPercent(uint64_t position, uint64_t size) {
    if (size == 0) return 0;
    return static_cast<int32_t>(
        std::nearbyint(static_cast<double>(position) * 100.0 / static_cast<double>(size)));
}

// Archives unpacked by two threads: at most this many entries (a second reader holds the
// central directory once more) and at least this many compressed bytes.
constexpr uint64_t kParallelUnpackEntriesMax = 20000;
constexpr uint64_t kParallelUnpackBytesMin = 4 * 1024 * 1024;

// Copies to the end of `in`; with `size` (a regular file's length as its fstat gave it) the
// in-kernel copy stops once that much is copied, without a call to find the end.
std::error_code CopyData(int in, int out, off_t size = -1) {
    // In-kernel copy first; some file systems and kernels refuse it, then copy by hand.
    bool kernelCopy = true;
    off_t total = 0;
    while (kernelCopy) {
        ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
        if (copied > 0) {
            total += copied;
            if (size > 0 && total >= size) return {};
            continue;
        }
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

bool PreadAll(int fd, void* buffer, size_t size, uint64_t offset) {
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t got = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

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

// Removes the folder `name` of `parentFd` and the empty folders below it, bottom-up, when they
// hold no entry; links count as entries and are never descended. Answers whether `name` itself
// went. A folder that cannot be opened or listed throws, naming `path`.
bool DeleteEmptyFoldersAt(int parentFd, const std::string& name, const std::string& path) {
    int fd = ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) return false;  // swapped for a link or a file
        throw fs::filesystem_error("cannot open folder", path, LastError());
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        std::error_code error = LastError();
        ::close(fd);
        throw fs::filesystem_error("cannot list folder", path, error);
    }
    std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, ::closedir);
    std::vector<std::string> subfolders;
    bool other = false;
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) throw fs::filesystem_error("cannot list folder", path, LastError());
            break;
        }
        const std::string_view entryName = entry->d_name;
        if (entryName == "." || entryName == "..") continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            type = ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                           S_ISDIR(st.st_mode)
                       ? DT_DIR
                       : DT_REG;
        }
        if (type == DT_DIR) {
            subfolders.emplace_back(entryName);
        } else {
            other = true;
        }
    }
    bool allGone = true;
    for (const auto& subfolder : subfolders) {
        if (!DeleteEmptyFoldersAt(::dirfd(dir), subfolder, path + "/" + subfolder)) {
            allGone = false;
        }
    }
    if (other || !allGone) return false;
    return ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace

TIO::TIO(IMessagesPtr Messages) : Messages(std::move(Messages)) {}

void TIO::OwnFolder(const std::string& Path) { iOwned.Add(Path); }

int TIO::OpenFileAt(const std::string& Path, int flags, mode_t mode) {
    if (!iOwned.Owns(Path)) return ::open(Path.c_str(), flags | O_CLOEXEC, mode);
    TDirFd parent;
    std::string name;
    if (std::error_code error = iOwned.OpenParent(Path, false, parent, name)) {
        errno = error.value();
        return -1;
    }
    if (name.empty()) {
        errno = EISDIR;
        return -1;
    }
    return ::openat(parent.Get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

void TIO::DoError(const std::string& text) { Messages->Error(text, Sender); }

void TIO::DoLog(const std::string& text) { Messages->Log(text, Sender); }

bool TIO::DirectoryExists(const std::string& Path) {
    if (Path.empty()) return false;
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    struct stat st;
    if (!error) {
        // Below an owned folder a link is no folder; elsewhere links are followed.
        const int flags = iOwned.Owns(Path) && !iOwned.IsRoot(Path) ? AT_SYMLINK_NOFOLLOW : 0;
        if (::fstatat(parent.Get(), name.empty() ? "." : name.c_str(), &st, flags) == 0) {
            return S_ISDIR(st.st_mode);
        }
        error = LastError();
    }
    // Below an owned folder, a link on the way is no folder either.
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
        (error == std::errc::too_many_symbolic_link_levels && iOwned.Owns(Path))) {
        return false;
    }
    DoError(FailureText("look at", Path, error.message()));
    return false;
}

bool TIO::FileExists(const std::string& Path) {
    if (Path.empty()) return false;
    TDirFd parent;
    std::string name;
    struct stat st;
    return !iOwned.OpenParent(Path, false, parent, name) && !name.empty() &&
           ::fstatat(parent.Get(), name.c_str(), &st, 0) == 0 && !S_ISDIR(st.st_mode);
}

bool TIO::FileDelete(const std::string& path) {
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(path, false, parent, name);
    if (!error && name.empty()) error = std::make_error_code(std::errc::is_a_directory);
    // unlinkat removes a link itself, and refuses a folder.
    if (!error && ::unlinkat(parent.Get(), name.c_str(), 0) != 0) error = LastError();
    if (error) {
        DoError(FailureText("delete", path, error.message()));
        return false;
    }
    return true;
}

std::error_code TIO::ReachParent(const std::string& path, bool create, TReachedFolder& reached,
                                 std::string& name) {
    const size_t cut = path.rfind('/');
    if (reached.fd.IsOpen() && cut != std::string::npos && cut + 1 < path.size() &&
        path.compare(0, cut, reached.path) == 0 && reached.path.size() == cut) {
        name = path.substr(cut + 1);
        if (name != "." && name != "..") return {};
    }
    const bool sameAsMissing = !create && cut != std::string::npos && cut + 1 < path.size() &&
                               !reached.missing.empty() && reached.missing.size() == cut &&
                               path.compare(0, cut, reached.missing) == 0;
    if (sameAsMissing) {
        name = path.substr(cut + 1);
        if (name != "." && name != "..") {
            return std::make_error_code(std::errc::no_such_file_or_directory);
        }
    }
    reached.path.clear();
    reached.fd = TDirFd();
    reached.missing.clear();
    TDirFd parent;
    if (std::error_code error = iOwned.OpenParent(path, create, parent, name)) {
        const bool gone = error == std::errc::no_such_file_or_directory ||
                          error == std::errc::not_a_directory;
        if (!create && cut != std::string::npos && gone) {
            reached.missing = path.substr(0, cut);
        }
        return error;
    }
    // Kept only when the name is what follows the last separator (not for a folder itself).
    if (!name.empty() && cut != std::string::npos && path.compare(cut + 1, std::string::npos,
                                                                  name) == 0) {
        reached.path = path.substr(0, cut);
        reached.fd = std::move(parent);
        return {};
    }
    reached.fd = std::move(parent);
    return {};
}

bool TIO::Copyfile(const std::string& source, const std::string& target) {
    TReachedFolder from, to;
    return CopyBetween(source, target, from, to);
}

bool TIO::CopyFiles(size_t count, const TNextCopy& next) {
    TReachedFolder from, to;
    std::string source, target;
    for (size_t i = 0; i < count; ++i) {
        if (!next(i, source, target) || !CopyBetween(source, target, from, to)) return false;
    }
    return true;
}

bool TIO::CopyBetween(const std::string& source, const std::string& target,
                      TReachedFolder& from, TReachedFolder& to) {
    std::string targetName;
    std::error_code error = ReachParent(target, true, to, targetName);
    if (error) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    int inFd;
    if (iOwned.Owns(source)) {
        std::string sourceName;
        error = ReachParent(source, false, from, sourceName);
        if (!error && sourceName.empty()) error = std::make_error_code(std::errc::is_a_directory);
        inFd = error ? -1
                     : ::openat(from.fd.Get(), sourceName.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (!error && inFd < 0) error = LastError();
    } else {
        inFd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
        if (inFd < 0) error = LastError();
    }
    TFd in(inFd);
    if (error) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    struct stat st;
    if (::fstat(in.Get(), &st) != 0) {
        DoError(CopyFailureText(source, target, LastErrorText()));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        DoError(CopyFailureText(source, target, ErrorText(EISDIR)));
        return false;
    }
    if (targetName.empty()) {
        DoError(CopyFailureText(source, target, ErrorText(EISDIR)));
        return false;
    }
    TAtomicFile out;
    const mode_t mode = st.st_mode & 0777;
    out.SetCreateMode(mode);
    if (!(error = out.Create(to.fd.Get(), targetName, true)) &&
        !(error = CopyData(in.Get(), out.Fd(), S_ISREG(st.st_mode) ? st.st_size : -1))) {
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        // Created with the source's bits; only those the umask took away are set again.
        const bool masked = (mode & ProcessUmask()) != 0;
        if ((masked && ::fchmod(out.Fd(), mode) != 0) || ::futimens(out.Fd(), times) != 0) {
            error = LastError();
        } else {
            error = out.Commit(false);
        }
    }
    if (error) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    return true;
}

bool TIO::GetFiles(const std::string& path, const TStrings& masks, TStrings& files) {
    return ListMatching(path, masks, false, files);
}

bool TIO::GetFileNames(const std::string& path, const TStrings& masks, TStrings& names) {
    return ListMatching(path, masks, true, names);
}

bool TIO::ListMatching(const std::string& path, const TStrings& masks, bool relativeNames,
                       TStrings& files) {
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

    TDirFd folder;
    if (std::error_code error = iOwned.OpenFolder(path, false, folder)) {
        DoError(FailureText("list folder", path, error.message()));
        return false;
    }
    TStrings listed;
    if (std::error_code error = ListFiles(folder.Release(), "", listed)) {
        DoError(FailureText("list folder", path, error.message()));
        return false;
    }

    TStrings result;
    try {
        for (std::string& relative : listed) {
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
            if (!keep) continue;
            std::string full = JoinBelow(path, relative);
            result.push_back(relativeNames ? std::move(relative) : std::move(full));
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
    std::vector<unsigned char> block(256 * 1024);
    // Files one after the other in a folder: the folder is reached once for them.
    TReachedFolder reached;
    const auto open = [&](const std::string& full) {
        if (!iOwned.Owns(full)) return ::open(full.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        std::string name;
        if (std::error_code error = ReachParent(full, false, reached, name)) {
            errno = error.value();
            return -1;
        }
        if (name.empty()) {
            errno = EISDIR;
            return -1;
        }
        return ::openat(reached.fd.Get(), name.c_str(),
                        O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    };
    for (const std::string& name : files) {
        // A name that is not a valid path ends the whole operation (EPathError).
        const std::string full = JoinBelow(path, name);
        // Below an owned folder a link is not followed: no file to hash, as a folder is not.
        TFd fd(open(full));
        if (fd.Get() < 0) {
            if (errno != ENOENT && errno != ENOTDIR && !(errno == ELOOP && iOwned.Owns(full))) {
                DoError(FailureText("read", full, LastErrorText()));
            }
            continue;
        }
        struct stat st;
        if (::fstat(fd.Get(), &st) != 0) {
            DoError(FailureText("read", full, LastErrorText()));
            continue;
        }
        if (!S_ISREG(st.st_mode)) continue;  // a folder or device is no file to hash

        if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
            DoError("MD5 is not available");
            continue;
        }
        bool failed = false;
        off_t total = 0;
        for (;;) {
            ssize_t got = ::read(fd.Get(), block.data(), block.size());
            if (got < 0) {
                if (errno == EINTR) continue;
                DoError(FailureText("read", full, LastErrorText()));
                failed = true;
                break;
            }
            if (got == 0) break;
            EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(got));
            total += got;
            // A short read that reaches the length fstat gave is the end: no call to find it.
            if (static_cast<size_t>(got) < block.size() && total >= st.st_size) break;
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
    if (!ReadWholeFile(OpenFileAt(Path, O_RDONLY), content, error)) {
        DoError(FailureText("read", Path, error));
        return false;
    }
    std::string_view bytes = content;
    if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
    lines = SplitLines(DecodeText(bytes, TTextEncoding::Utf8));
    return true;
}

bool TIO::SetLines(const std::string& Path, const TStrings& lines) {
    std::string content = kUtf8Bom;
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
    if (Path.empty() || Path.back() == '/') {
        DoError(FailureText("write", Path, ErrorText(Path.empty() ? ENOENT : EISDIR)));
        return false;
    }
    TDirFd dir;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, dir, name);
    if (!error && name.empty()) error = std::make_error_code(std::errc::is_a_directory);
    TAtomicFile file;
    if (!error) error = file.Create(dir.Get(), name);
    if (!error) {
        // A replaced file keeps its permissions.
        struct stat old;
        if (::fstatat(dir.Get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(old.st_mode) && ::fchmod(file.Fd(), old.st_mode & 07777) != 0) {
            error = LastError();
        }
    }
    if (!error) error = file.Write(data, size);
    if (!error) error = file.Commit(true);
    if (error) {
        DoError(FailureText("write", Path, error.message()));
        return false;
    }
    return true;
}

bool TIO::ForceDirectory(const std::string& Path) {
    std::error_code error;
    if (iOwned.Owns(Path)) {
        TDirFd folder;
        error = iOwned.OpenFolder(Path, true, folder);
        if (error) DoError(FailureText("create folder", Path, error.message()));
        return !error;
    }
    if (fs::is_directory(Path, error)) return true;
    fs::create_directories(Path, error);
    if (error) DoError(FailureText("create folder", Path, error.message()));
    return fs::is_directory(Path, error);
}

void TIO::DoZipProgress(const std::string& target, uint64_t position, uint64_t size,
                        bool complete) {
    const int32_t percent = ZipPercent(position, size);
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
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(ExtractPath, true, parent, name);
    if (!error && name.empty()) error = std::make_error_code(std::errc::invalid_argument);
    const std::string stagingName = name + ".part";
    // Whatever an earlier attempt left goes, links as links.
    if (!error) error = RemoveTreeAt(parent.Get(), stagingName);
    if (!error && ::mkdirat(parent.Get(), stagingName.c_str(), 0777) != 0) error = LastError();
    if (error) {
        DoError(FailureText("create folder", staging, error.message()));
        if (parent.IsOpen()) RemoveTreeAt(parent.Get(), stagingName);
        return false;
    }
    std::vector<TUnpackedFile> unpacked;
    bool ok = ExtractEntries(ZipFilePath, staging, ExtractPath, &unpacked);
    if (ok) {
        // The marker goes last, once the files it lists are on the disk.
        TUnpackedMarker marker;
        struct stat archive;
        if (::stat(ZipFilePath.c_str(), &archive) != 0) {
            DoError(FailureText("look at", ZipFilePath, LastErrorText()));
            ok = false;
        } else {
            marker.ArchiveSize = static_cast<uint64_t>(archive.st_size);
            marker.ArchiveModified =
                static_cast<int64_t>(archive.st_mtim.tv_sec) * 1000000000 + archive.st_mtim.tv_nsec;
            marker.Files = std::move(unpacked);
            // Written as SetLines writes the marker's lines.
            const std::string text = UnpackedMarkerText(marker, kUtf8Bom);
            marker.Files = {};
            ok = FlushToDisk(staging) &&
                 WriteFileAtomic(JoinBelow(staging, kUnpackedMarkerName), text.data(),
                                 text.size());
        }
    }
    if (ok && ::renameat(parent.Get(), stagingName.c_str(), parent.Get(), name.c_str()) != 0) {
        DoError(fmt::sprintf("cannot rename \"%s\" to \"%s\": %s", staging, ExtractPath,
                             LastErrorText()));
        ok = false;
    }
    if (!ok) RemoveTreeAt(parent.Get(), stagingName);
    return ok;
}

bool TIO::ExtractEntries(const std::string& ZipFilePath, const std::string& ExtractPath,
                         const std::string& CaptionPath, std::vector<TUnpackedFile>* unpacked) {
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

    // One descriptor for the layout check and the reader, so both see the same file.
    TFd archiveFd(OpenFileAt(ZipFilePath, O_RDONLY));
    struct stat archiveStat {};
    TZipReader reader;
    std::string error;
    if (archiveFd.Get() < 0 || ::fstat(archiveFd.Get(), &archiveStat) != 0 ||
        !S_ISREG(archiveStat.st_mode)) {
        DoError(fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
        return false;
    }

    // Everything is checked before the first file is written: the layout and the limits, then
    // every entry's name. The layout is read before the reader opens the archive and only the
    // sizes are kept from it, so that the two never hold an archive of many entries in memory
    // at the same time.
    std::vector<std::pair<uint64_t, uint64_t>> sizes;  // declared size, compressed size
    {
        std::vector<TZipLayoutEntry> layout;
        const int layoutFd = archiveFd.Get();
        error = CheckZipLayout(
            static_cast<uint64_t>(archiveStat.st_size),
            [layoutFd](uint64_t offset, void* buffer, size_t size) {
                return PreadAll(layoutFd, buffer, size, offset);
            },
            iZipLimits, layout);
        if (!error.empty()) {
            // A file the reader cannot open at all is no archive; else the layout tells why.
            layout = {};
            std::string openError;
            DoError(reader.Open(::dup(archiveFd.Get()), openError)
                        ? fmt::sprintf("%s: %s", ZipFilePath, error)
                        : fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
            return false;
        }
        sizes.reserve(layout.size());
        for (const auto& item : layout) sizes.emplace_back(item.size, item.compressedSize);
    }
    if (!reader.Open(::dup(archiveFd.Get()), error)) {
        DoError(fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
        return false;
    }
    const uint64_t count = reader.Count();
    if (count != sizes.size()) {
        DoError(fmt::sprintf("%s: damaged zip archive: the central directory is ambiguous",
                             ZipFilePath));
        return false;
    }
    // An entry and its name below the target ("" for the target folder itself), read again
    // in each pass rather than kept: an archive of many small files would otherwise hold its
    // names twice more in memory.
    TZipEntry entry;
    std::string relative;
    const auto readEntry = [&](uint64_t index) {
        if (!reader.Entry(index, entry, error)) {
            DoError(fmt::sprintf("%s: %s", ZipFilePath, error));
            return false;
        }
        try {
            relative.clear();
            if (!(entry.IsDirectory() && NamesRoot(entry.Name))) {
                relative = JoinInside("", entry.Name);
            }
        } catch (const EPathError& e) {
            DoError(e.what());
            return false;
        }
        return true;
    };
    // Sizes, kinds and names first; then the layout goes, before the names are gathered.
    for (uint64_t index = 0; index < count; ++index) {
        if (!readEntry(index)) return false;
        if (entry.Size != sizes[index].first || entry.CompressedSize != sizes[index].second) {
            DoError(fmt::sprintf("%s: damaged zip archive: sizes of %s disagree", ZipFilePath,
                                 entry.Name));
            return false;
        }
        if (entry.IsSymlink()) {
            DoError(fmt::sprintf("Symbolic link entry not extracted: %s", entry.Name));
            return false;
        }
    }
    sizes = {};
    // Where the second of two threads begins (see below), by the compressed bytes before it.
    std::vector<uint64_t> compressed;
    if (unpacked != nullptr && count >= 2 && count <= kParallelUnpackEntriesMax) {
        compressed.reserve(count);
    }
    {
        // Each name once; a file's name is no folder of another entry.
        std::unordered_map<std::string, bool> names;  // relative name -> is a folder
        for (uint64_t index = 0; index < count; ++index) {
            if (!readEntry(index)) return false;
            if (compressed.capacity() > 0) compressed.push_back(entry.CompressedSize);
            const bool isFolder = entry.IsDirectory();
            if (relative.empty()) continue;
            auto [at, added] = names.emplace(relative, isFolder);
            if (!added && !(isFolder && at->second)) {
                DoError(fmt::sprintf("%s: zip archive refused: %s is there twice", ZipFilePath,
                                     entry.Name));
                return false;
            }
            // Every folder above the name is one.
            for (size_t sep = relative.find('/'); sep != std::string::npos;
                 sep = relative.find('/', sep + 1)) {
                auto parent = names.emplace(relative.substr(0, sep), true).first;
                if (!parent->second) {
                    DoError(fmt::sprintf("%s: zip archive refused: %s is there twice",
                                         ZipFilePath, parent->first));
                    return false;
                }
            }
        }
    }


    // Writes the entries [begin, end) with `zip`, telling failures to `fail` and progress to
    // `progress`; the files written are added to `written`. Stops at the first failure, or
    // before the next entry once `stop` is set.
    const auto writeEntries = [&](TZipReader& zip, uint64_t begin, uint64_t end,
                                  const std::function<void(const std::string&)>& fail,
                                  const std::function<void(const std::string&, uint64_t, uint64_t,
                                                           bool)>& progress,
                                  std::vector<TUnpackedFile>* written,
                                  const std::atomic<bool>& stop) {
        TZipEntry item;
        std::string name;
        std::string why;
        TDirFd root;
        std::string folderRelative;  // the folder `folder` is open for
        TDirFd folder;
        for (uint64_t index = begin; index < end; ++index) {
            if (stop) return false;
            if (!zip.Entry(index, item, why)) {
                fail(fmt::sprintf("%s: %s", ZipFilePath, why));
                return false;
            }
            try {
                name.clear();
                if (!(item.IsDirectory() && NamesRoot(item.Name))) name = JoinInside("", item.Name);
            } catch (const EPathError& e) {
                fail(e.what());
                return false;
            }
            const std::string target = PathJoin(CaptionPath, name);
            const bool isFolder = item.IsDirectory();

            if (!root.IsOpen()) {
                std::error_code failure = iOwned.OpenFolder(ExtractPath, true, root);
                if (failure) {
                    fail(FailureText("create folder", ExtractPath, failure.message()));
                    return false;
                }
            }
            std::vector<std::string> parts = SplitComponents(name);
            const size_t folderDepth = isFolder ? parts.size() : parts.size() - 1;
            const std::string wanted = isFolder ? name : ExtractFileDir(name);
            if (!folder.IsOpen() || wanted != folderRelative) {
                bool linkFound = false;
                folder = TDirFd();
                std::error_code failure =
                    OpenFolderInside(root.Get(), parts, folderDepth, folder, linkFound);
                if (failure) {
                    fail(linkFound ? fmt::sprintf("Path runs through a symbolic link: %s", target)
                                   : FailureText("create folder", PathJoin(CaptionPath, wanted),
                                                 failure.message()));
                    return false;
                }
                folderRelative = wanted;
            }
            if (isFolder) continue;
            if (unpacked != nullptr && name == kUnpackedMarkerName) {
                fail(fmt::sprintf("Entry name is reserved for the package cache: %s", item.Name));
                return false;
            }

            TAtomicFile file;
            std::error_code failure = file.Create(folder.Get(), parts.back(), true);
            if (failure) {
                fail(FailureText("write", target, failure.message()));
                return false;
            }
            const int fd = file.Fd();
            const uint64_t size = item.Size;
            bool ok = zip.Extract(
                index, item,
                [fd, &target](const char* data, size_t length) {
                    std::error_code writeError = WriteAll(fd, data, length);
                    return writeError ? FailureText("write", target, writeError.message())
                                      : std::string();
                },
                [&](uint64_t position, bool complete) {
                    progress(target, position, size, complete);
                },
                why);
            if (!ok) {
                fail(fmt::sprintf("%s: %s", ZipFilePath, why));
                return false;
            }
            if ((failure = ApplyAttributes(fd, item)) || (failure = file.Commit(false))) {
                fail(FailureText("write", target, failure.message()));
                return false;
            }
            // Every name is there once (checked above).
            if (written != nullptr) written->push_back({name, item.Size, item.Crc});
        }
        return true;
    };
    const auto failHere = [this](const std::string& text) { DoError(text); };
    const auto progressHere = [this](const std::string& target, uint64_t position,
                                     uint64_t size, bool complete) {
        DoZipProgress(target, position, size, complete);
    };

    // An archive of a few large entries is unpacked by two threads, each with a reader of its
    // own: the second takes the entries from where half of the compressed bytes lie behind.
    // Its reports are held and told after the first thread's, as one thread would have made
    // them; when the first fails, they are never told (the unpacking's folder goes anyway).
    uint64_t split = count;
    if (compressed.size() == count && count >= 2) {
        uint64_t total = 0;
        for (uint64_t bytes : compressed) total += bytes;
        if (total >= kParallelUnpackBytesMin) {
            uint64_t before = 0;
            split = 0;
            while (split + 1 < count && before + compressed[split] / 2 < total / 2) {
                before += compressed[split++];
            }
            if (split == 0) split = 1;
        }
    }
    compressed = {};
    // The second reader needs a position of its own in the file: the same file opened anew
    // through the descriptor (never by name, which may lead elsewhere by now).
    TZipReader second;
    std::string secondError;
    int secondFd = -1;
    if (split < count) {
        secondFd = ::open(fmt::sprintf("/proc/self/fd/%d", archiveFd.Get()).c_str(),
                          O_RDONLY | O_CLOEXEC);
        struct stat secondStat {};
        if (secondFd >= 0 && (::fstat(secondFd, &secondStat) != 0 ||
                              secondStat.st_dev != archiveStat.st_dev ||
                              secondStat.st_ino != archiveStat.st_ino)) {
            ::close(secondFd);
            secondFd = -1;
        }
    }
    if (secondFd >= 0 && second.Open(secondFd, secondError)) {
        struct TReport {
            bool failure;
            std::string text;
            int32_t percent;
        };
        std::vector<TReport> held;
        std::vector<TUnpackedFile> secondWritten;
        std::atomic<bool> stop{false};
        bool secondOk = false;
        std::exception_ptr secondFailure;
        std::thread helper([&] {
            std::string lastCaption;
            int32_t lastPercent = -1;
            try {
                secondOk = writeEntries(
                    second, split, count,
                    [&held](const std::string& text) { held.push_back({true, text, 0}); },
                    [&](const std::string& target, uint64_t position, uint64_t size,
                        bool complete) {
                        const int32_t percent = ZipPercent(position, size);
                        if (!complete && percent == lastPercent && target == lastCaption) return;
                        lastCaption = target;
                        lastPercent = percent;
                        held.push_back({false, target, percent});
                    },
                    &secondWritten, stop);
            } catch (...) {
                secondFailure = std::current_exception();
            }
        });
        bool firstOk = false;
        try {
            firstOk = writeEntries(reader, 0, split, failHere, progressHere, unpacked, stop);
        } catch (...) {
            stop = true;
            helper.join();
            throw;
        }
        if (!firstOk) stop = true;
        helper.join();
        if (!firstOk) return false;
        if (secondFailure) std::rethrow_exception(secondFailure);
        for (const auto& report : held) {
            if (report.failure) {
                DoError(report.text);
            } else if (OnProgressRedirect) {
                OnProgressRedirect(report.text, report.percent);
            }
        }
        if (!secondOk) return false;
        unpacked->insert(unpacked->end(), std::make_move_iterator(secondWritten.begin()),
                         std::make_move_iterator(secondWritten.end()));
        return true;
    }
    const std::atomic<bool> never{false};
    return writeEntries(reader, 0, count, failHere, progressHere, unpacked, never);
}

bool TIO::CheckUnpackedFolder(const std::string& ZipFilePath, const std::string& ExtractPath,
                              bool Thorough) {
    // Every way the folder can differ is an ordinary reason to unpack it again: logged only.
    const auto unusable = [&](const std::string& why) {
        DoLog(fmt::sprintf("%s is no complete unpacking of %s: %s", ExtractPath, ZipFilePath, why));
        return false;
    };
    TDirFd folder;
    if (std::error_code error = TDirFd::Open(ExtractPath, folder)) return unusable(error.message());
    std::string content;
    std::string error;
    TUnpackedMarker marker;
    if (!ReadWholeFile(::openat(folder.Get(), kUnpackedMarkerName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC),
                       content, error)) {
        return unusable("no completion marker");
    }
    std::string_view bytes = content;
    if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
    if (!ParseUnpackedMarker(SplitLines(bytes), marker)) return unusable("damaged completion marker");
    struct stat archive;
    if (::stat(ZipFilePath.c_str(), &archive) != 0) return unusable(LastErrorText());
    const int64_t modified =
        static_cast<int64_t>(archive.st_mtim.tv_sec) * 1000000000 + archive.st_mtim.tv_nsec;
    if (static_cast<uint64_t>(archive.st_size) != marker.ArchiveSize ||
        modified != marker.ArchiveModified) {
        return unusable("the archive has changed since");
    }
    TStrings listed;
    if (std::error_code failure = ListFiles(::dup(folder.Get()), "", listed)) {
        return unusable(failure.message());
    }
    std::sort(listed.begin(), listed.end());
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
    const auto marked = std::equal_range(listed.begin(), listed.end(), kUnpackedMarkerName);
    listed.erase(marked.first, marked.second);
    if (listed.size() != marker.Files.size()) return unusable("other files than unpacked");
    // Why the files [begin, end) of the marker make the folder unusable, or "" when they do not.
    const auto check = [&](size_t begin, size_t end) -> std::string {
        std::vector<char> block(Thorough ? 64 * 1024 : 0);
        for (size_t i = begin; i < end; ++i) {
            const TUnpackedFile& file = marker.Files[i];
            if (!std::binary_search(listed.begin(), listed.end(), file.Name)) {
                return file.Name + " is missing";
            }
            struct stat st;
            if (!Thorough) {
                // The size is all that is compared: one look, without opening the file.
                if (::fstatat(folder.Get(), file.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    return LastErrorText();
                }
                if (!S_ISREG(st.st_mode)) return file.Name + " is no file";
                if (static_cast<uint64_t>(st.st_size) != file.Size) {
                    return file.Name + " has another size";
                }
                continue;
            }
            TFd fd(::openat(folder.Get(), file.Name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
            if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) return LastErrorText();
            if (static_cast<uint64_t>(st.st_size) != file.Size) {
                return file.Name + " has another size";
            }
            uint32_t crc = TZipReader::Crc32(0, nullptr, 0);
            for (;;) {
                ssize_t got = ::read(fd.Get(), block.data(), block.size());
                if (got < 0 && errno == EINTR) continue;
                if (got < 0) return LastErrorText();
                if (got == 0) break;
                crc = TZipReader::Crc32(crc, block.data(), static_cast<size_t>(got));
            }
            if (crc != file.Crc) return file.Name + " has another content";
        }
        return {};
    };
    // Reading every file back is worth a second thread: it takes the second half, and the
    // first reason in the marker's order is the one told.
    const size_t n = marker.Files.size();
    std::string why;
    if (Thorough && n >= 2) {
        std::string later;
        std::thread second([&] { later = check(n / 2, n); });
        try {
            why = check(0, n / 2);
        } catch (...) {
            second.join();
            throw;
        }
        second.join();
        if (why.empty()) why = std::move(later);
    } else {
        why = check(0, n);
    }
    if (!why.empty()) return unusable(why);
    return true;
}

bool TIO::DirectoryDeleteIfEmpty(const std::string& Path) {
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    if (!error && name.empty()) error = std::make_error_code(std::errc::invalid_argument);
    struct stat st;
    if (!error && ::fstatat(parent.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        error = LastError();
    }
    if (error) throw fs::filesystem_error("cannot remove empty folders", Path, error);
    if (S_ISLNK(st.st_mode)) return false;
    return DeleteEmptyFoldersAt(parent.Get(), name, Path);
}

bool TIO::CanFileBeOverwritten(const std::string& Path) {
    TReachedFolder reached;
    return CanOverwriteIn(Path, reached);
}

size_t TIO::FirstBlockedFile(size_t count,
                             const std::function<std::string(size_t index)>& pathOf) {
    TReachedFolder reached;
    for (size_t i = 0; i < count; ++i) {
        if (!CanOverwriteIn(pathOf(i), reached)) return i;
    }
    return count;
}

bool TIO::CanOverwriteIn(const std::string& Path, TReachedFolder& reached) {
    struct stat st;
    std::string name;
    std::error_code error = ReachParent(Path, false, reached, name);
    const TDirFd& parent = reached.fd;
    if (!error && ::fstatat(parent.Get(), name.empty() ? "." : name.c_str(), &st,
                            AT_SYMLINK_NOFOLLOW) != 0) {
        error = LastError();
    }
    if (error) {
        if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
            return true;
        }
        DoLog(FailureText("overwrite", Path, error.message()));
        return false;
    }
    // A link is replaced, not written through, and a folder is no file of that name.
    if (S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode)) return true;
    // The probe opens the name from the folder already reached, so a folder swapped meanwhile
    // leads it nowhere.
    if (std::error_code error = ProbeExclusiveWriteAt(parent.Get(), name.empty() ? "." : name)) {
        const bool busy = error == std::errc::device_or_resource_busy;
        std::string reason = busy ? "the file is open in another process" : error.message();
        if (busy || error == std::errc::text_file_busy) {
            const std::string users = DescribeFileUsers(Path);
            if (!users.empty()) reason += ": " + users;
        }
        DoLog(FailureText("overwrite", Path, reason));
        return false;
    }
    return true;
}

std::error_code TIO::RenameEntry(const std::string& From, const std::string& To) {
    TDirFd fromParent, toParent;
    std::string fromName, toName;
    std::error_code error = iOwned.OpenParent(From, false, fromParent, fromName);
    if (!error) error = iOwned.OpenParent(To, false, toParent, toName);
    if (!error && (fromName.empty() || toName.empty())) {
        error = std::make_error_code(std::errc::invalid_argument);
    }
    if (!error && ::renameat(fromParent.Get(), fromName.c_str(), toParent.Get(), toName.c_str()) != 0) {
        error = LastError();
    }
    return error;
}

std::error_code TIO::RemoveTree(const std::string& Path) {
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    if (error == std::errc::no_such_file_or_directory) return {};
    if (!error && name.empty()) error = std::make_error_code(std::errc::invalid_argument);
    if (!error) error = RemoveTreeAt(parent.Get(), name);
    return error;
}

bool TIO::FlushToDisk(const std::string& Path) {
    TFd folder(::open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() < 0 || ::syncfs(folder.Get()) != 0) {
        DoError(FailureText("flush", Path, LastErrorText()));
        return false;
    }
    return true;
}

}  // namespace ombrel
