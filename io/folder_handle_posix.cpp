#include "io/folder_handle.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "platform/file_usage.h"

namespace ombrel {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Set once openat2 has been found missing (or filtered away), so that it is not tried again.
std::atomic<bool> gOpenat2Missing{false};

TEntryKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return TEntryKind::File;
    if (S_ISDIR(mode)) return TEntryKind::Folder;
    if (S_ISLNK(mode)) return TEntryKind::Link;
    return TEntryKind::Other;
}

void InfoOf(const struct stat& st, TFileInfo& info) {
    info.kind = S_ISREG(st.st_mode)   ? TEntryKind::File
                : S_ISDIR(st.st_mode) ? TEntryKind::Folder
                                      : TEntryKind::Other;
    info.size = static_cast<uint64_t>(st.st_size);
    info.mode = st.st_mode & 07777;
    info.readOnly = false;
    info.accessed = static_cast<int64_t>(st.st_atim.tv_sec) * 1000000000 + st.st_atim.tv_nsec;
    info.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

struct timespec TimeOf(int64_t nanoseconds) {
    struct timespec time;
    time.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    time.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    if (time.tv_nsec < 0) {
        time.tv_nsec += 1000000000;
        --time.tv_sec;
    }
    return time;
}

std::error_code Opened(int fd, TDirFd& file) {
    if (fd < 0) return LastError();
    file = TDirFd(fd);
    return {};
}

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

}  // namespace

std::error_code TDirFd::Open(const std::string& path, TDirFd& result) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return LastError();
    result = TDirFd(fd);
    return {};
}

void CloseDescriptor(int fd) {
    if (fd >= 0) ::close(fd);
}

std::error_code LastError() {
    return std::error_code(errno, std::system_category());
}

std::error_code ErrorOf(std::errc condition) {
    return std::make_error_code(condition);
}

void ThrowFileSystemError(const char* what, const std::string& path, std::error_code error) {
    throw std::filesystem::filesystem_error(what, path, error);
}

std::error_code WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::write(fd, p, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        p += written;
        size -= static_cast<size_t>(written);
    }
    return {};
}

bool IsFolderSeparator(char c) {
    return c == '/';
}

size_t PathRootLength(std::string_view path) {
    return !path.empty() && path[0] == '/' ? 1 : 0;
}

bool SameFileName(std::string_view a, std::string_view b) {
    return a == b;
}

bool IsUnreachableName(const std::string&) {
    return false;
}

std::string FileNameKey(const std::string& name) {
    return name;
}

std::error_code CreateFoldersByPath(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return error;
}

std::error_code DuplicateDescriptor(int dirFd, TDirFd& copy) {
    int fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return LastError();
    copy = TDirFd(fd);
    return {};
}

std::error_code OpenBeneathAtOnce(int dirFd, const std::string& relative, TDirFd& result) {
    if (gOpenat2Missing) return ErrorOf(std::errc::function_not_supported);
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    int fd;
    do {
        fd = static_cast<int>(::syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how));
    } while (fd < 0 && errno == EAGAIN);
    if (fd < 0) {
        // ENOSYS, and the errors a filter answers with: the walk goes one name at a time.
        if (errno == ENOSYS || errno == EPERM || errno == E2BIG) {
            gOpenat2Missing = true;
            return ErrorOf(std::errc::function_not_supported);
        }
        return LastError();
    }
    result = TDirFd(fd);
    return {};
}

std::error_code OpenSubfolderAt(int dirFd, const std::string& name, bool create, TDirFd& result) {
    int fd = ::openat(dirFd, name.c_str(), kFolderFlags);
    if (fd < 0 && errno == ENOENT && create) {
        if (::mkdirat(dirFd, name.c_str(), 0777) != 0 && errno != EEXIST) return LastError();
        fd = ::openat(dirFd, name.c_str(), kFolderFlags);
    }
    if (fd < 0) return LastError();
    result = TDirFd(fd);
    return {};
}

std::error_code OpenSubfolderToReadAt(int dirFd, const std::string& name, TDirFd& result) {
    return OpenSubfolderAt(dirFd, name, false, result);
}

std::error_code MakeFolderAt(int dirFd, const std::string& name) {
    if (::mkdirat(dirFd, name.c_str(), 0777) != 0) return LastError();
    return {};
}

std::error_code EntryKindAt(int dirFd, const std::string& name, TEntryKind& kind) {
    kind = TEntryKind::Missing;
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? std::error_code() : LastError();
    }
    kind = KindOfMode(st.st_mode);
    return {};
}

std::error_code ListFolderAt(int dirFd, std::vector<TListedEntry>& entries) {
    entries.clear();
    const int fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return LastError();
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        std::error_code error = LastError();
        ::close(fd);
        return error;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, ::closedir);
    // The copy shares its position with `dirFd`: a folder listed before starts again.
    ::rewinddir(dir);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) return LastError();
            return {};
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        TEntryKind kind;
        switch (entry->d_type) {
            case DT_REG:
                kind = TEntryKind::File;
                break;
            case DT_DIR:
                kind = TEntryKind::Folder;
                break;
            case DT_LNK:
                kind = TEntryKind::Link;
                break;
            case DT_UNKNOWN: {
                // File systems that do not tell the type in the listing.
                struct stat st;
                if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    if (errno == ENOENT) continue;
                    return LastError();
                }
                kind = KindOfMode(st.st_mode);
                break;
            }
            default:
                kind = TEntryKind::Other;
                break;
        }
        entries.push_back({std::string(name), kind});
    }
}

std::error_code RemoveFileAt(int dirFd, const std::string& name) {
    if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) return LastError();
    return {};
}

std::error_code RemoveOpenFolder(int parentFd, const std::string& name, int) {
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        return LastError();
    }
    return {};
}

std::error_code RenameEntryAt(int fromDir, const std::string& fromName, int toDir,
                              const std::string& toName) {
    if (::renameat(fromDir, fromName.c_str(), toDir, toName.c_str()) != 0) return LastError();
    return {};
}

std::error_code CreateNewFileAt(int dirFd, const std::string& name, unsigned mode, int& fd) {
    fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  static_cast<mode_t>(mode));
    return fd < 0 ? LastError() : std::error_code();
}

std::error_code FlushFile(int fd) {
    return ::fsync(fd) != 0 ? LastError() : std::error_code();
}

std::error_code FlushFolder(int dirFd) {
    return ::fsync(dirFd) != 0 ? LastError() : std::error_code();
}

std::error_code CloseWrittenFile(int fd) {
    return ::close(fd) != 0 ? LastError() : std::error_code();
}

std::error_code PlaceWrittenFile(int& fd, int dirFd, const std::string& tempName,
                                 const std::string& name) {
    const int written = fd;
    fd = -1;
    if (std::error_code error = CloseWrittenFile(written)) return error;
    return RenameEntryAt(dirFd, tempName, dirFd, name);
}

void RemoveUncommittedFile(int& fd, int dirFd, const std::string& name) {
    CloseDescriptor(fd);
    fd = -1;
    if (!name.empty()) ::unlinkat(dirFd, name.c_str(), 0);
}

std::error_code StatOpenFile(int fd, TFileInfo& info) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return LastError();
    InfoOf(st, info);
    return {};
}

std::error_code OpenFileToReadAt(int dirFd, const std::string& name, bool nonBlocking,
                                 TDirFd& file) {
    return Opened(::openat(dirFd, name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0)),
                  file);
}

std::error_code OpenFileToReadByPath(const std::string& path, bool nonBlocking, TDirFd& file) {
    return Opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0)),
                  file);
}

std::error_code OpenFileToReadBelow(int dirFd, const std::string& relative, TDirFd& file) {
    return OpenFileToReadAt(dirFd, relative, false, file);
}

std::error_code StatFileBelow(int dirFd, const std::string& relative, TFileInfo& info) {
    struct stat st;
    if (::fstatat(dirFd, relative.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
    InfoOf(st, info);
    return {};
}

std::error_code FollowedKindAt(int dirFd, const std::string& name, const std::string&,
                               TEntryKind& kind) {
    kind = TEntryKind::Missing;
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, 0) != 0) {
        return errno == ENOENT ? std::error_code() : LastError();
    }
    kind = KindOfMode(st.st_mode);
    return {};
}

std::error_code ReadFromFile(int fd, void* buffer, size_t size, size_t& got) {
    got = 0;
    for (;;) {
        const ssize_t read = ::read(fd, buffer, size);
        if (read >= 0) {
            got = static_cast<size_t>(read);
            return {};
        }
        if (errno != EINTR) return LastError();
    }
}

bool ReadFileAt(int fd, void* buffer, size_t size, uint64_t offset) {
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

std::error_code ReopenToRead(int fd, TDirFd& second) {
    struct stat first {};
    if (::fstat(fd, &first) != 0) return LastError();
    TDirFd reopened(::open(fmt::format("/proc/self/fd/{}", fd).c_str(), O_RDONLY | O_CLOEXEC));
    if (!reopened.IsOpen()) return LastError();
    struct stat again {};
    if (::fstat(reopened.Get(), &again) != 0) return LastError();
    // Only the same file, never another one that took its place.
    if (again.st_dev != first.st_dev || again.st_ino != first.st_ino) {
        return ErrorOf(std::errc::function_not_supported);
    }
    second = std::move(reopened);
    return {};
}

std::error_code CopyFileData(int in, int out, int64_t size) {
    // In-kernel copy first; some file systems and kernels refuse it, then copy by hand.
    bool kernelCopy = true;
    int64_t total = 0;
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

std::error_code ProbeOverwriteAt(int dirFd, const std::string& name) {
    return ProbeExclusiveWriteAt(dirFd, name);
}

std::error_code KeepCopiedAttributes(const TFileInfo& source, int target) {
    const struct timespec times[2] = {TimeOf(source.accessed), TimeOf(source.modified)};
    // Created with the source's bits; only those the umask took away are set again.
    const mode_t bits = static_cast<mode_t>(source.mode & 0777);
    const bool masked = (bits & ProcessUmask()) != 0;
    if ((masked && ::fchmod(target, bits) != 0) || ::futimens(target, times) != 0) {
        return LastError();
    }
    return {};
}

std::error_code KeepReplacedAttributes(int dirFd, const std::string& name, int file) {
    struct stat old;
    if (::fstatat(dirFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode) &&
        ::fchmod(file, old.st_mode & 07777) != 0) {
        return LastError();
    }
    return {};
}

std::error_code SetUnpackedAttributes(int fd, bool unixHost, unsigned unixMode, bool dosReadOnly,
                                      bool hasTime, int64_t seconds) {
    if (unixHost && (unixMode & 0777) != 0) {
        // As stored, but never setuid, setgid or sticky.
        if (::fchmod(fd, unixMode & 0777) != 0) return LastError();
    } else if (dosReadOnly) {
        struct stat st;
        if (::fstat(fd, &st) != 0) return LastError();
        if (::fchmod(fd, st.st_mode & 0555) != 0) return LastError();
    }
    if (hasTime) {
        struct timespec times[2];
        times[0].tv_sec = static_cast<time_t>(seconds);
        times[0].tv_nsec = 0;
        times[1] = times[0];
        if (::futimens(fd, times) != 0) return LastError();
    }
    return {};
}

std::error_code StampOfFile(const std::string& path, uint64_t& size, int64_t& modified) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return LastError();
    size = static_cast<uint64_t>(st.st_size);
    modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return {};
}

std::error_code FlushFileSystemOf(const std::string& path) {
    TDirFd folder(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.IsOpen() || ::syncfs(folder.Get()) != 0) return LastError();
    return {};
}

uint64_t RandomNameBits() {
    // Without a system call for each name: each thread draws from its own generator, seeded from
    // the kernel's random source once.
    thread_local uint64_t state = [] {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
            seed =
                (static_cast<uint64_t>(::getpid()) << 32) ^
                static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                reinterpret_cast<uintptr_t>(&seed);
        }
        return seed;
    }();
    // splitmix64
    uint64_t value = (state += 0x9e3779b97f4a7c15ULL);
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

}  // namespace ombrel
