#include "io/owned_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>

namespace ombrel {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::vector<std::string> Components(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        std::string part = relative.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

// openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS: the whole walk in one call. Answers -1
// with errno; ENOSYS (and the errors a filter answers with) when the kernel cannot.
std::atomic<bool> gOpenat2Missing{false};

int Openat2Beneath(int dirFd, const std::string& relative) {
    if (gOpenat2Missing) {
        errno = ENOSYS;
        return -1;
    }
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    int fd;
    do {
        fd = static_cast<int>(::syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how));
    } while (fd < 0 && errno == EAGAIN);
    if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) {
        gOpenat2Missing = true;
        errno = ENOSYS;
    }
    return fd;
}

}  // namespace

std::error_code OpenBeneath(int dirFd, const std::string& relative, bool create,
                            TDirFd& result) {
    const std::vector<std::string> parts = Components(relative);
    for (const auto& part : parts) {
        if (part == "..") return std::make_error_code(std::errc::permission_denied);
    }
    if (parts.empty()) {
        int fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) return LastError();
        result = TDirFd(fd);
        return {};
    }
    std::string clean;
    for (const auto& part : parts) clean += (clean.empty() ? "" : "/") + part;
    int fd = Openat2Beneath(dirFd, clean);
    if (fd >= 0) {
        result = TDirFd(fd);
        return {};
    }
    // The kernel cannot, or a folder is missing and is to be made: one component at a time.
    // A link met on the way ends the walk with ELOOP (through O_NOFOLLOW) either way.
    if (errno != ENOSYS && !(errno == ENOENT && create)) return LastError();
    fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return LastError();
    TDirFd current(fd);
    for (const auto& part : parts) {
        int next = ::openat(current.Get(), part.c_str(), kFolderFlags);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.Get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
                return LastError();
            }
            next = ::openat(current.Get(), part.c_str(), kFolderFlags);
        }
        if (next < 0) return LastError();
        current = TDirFd(next);
    }
    result = std::move(current);
    return {};
}

void TOwnedFolders::Add(const std::string& folder) {
    std::string clean = folder;
    while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
    if (clean.empty()) return;
    for (const auto& known : iFolders) {
        if (known == clean) return;
    }
    iFolders.push_back(std::move(clean));
}

const std::string* TOwnedFolders::RootOf(const std::string& path) const {
    const std::string* best = nullptr;
    for (const auto& folder : iFolders) {
        const bool inside =
            path.size() >= folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            (path.size() == folder.size() || path[folder.size()] == '/' || folder == "/");
        if (inside && (best == nullptr || folder.size() > best->size())) best = &folder;
    }
    return best;
}

bool TOwnedFolders::IsRoot(const std::string& path) const {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::string* root = RootOf(trimmed);
    return root != nullptr && root->size() == trimmed.size();
}

std::error_code TOwnedFolders::OpenFolder(const std::string& path, bool create,
                                          TDirFd& folder) const {
    const std::string* root = RootOf(path);
    if (root == nullptr) {
        if (create) {
            std::error_code error;
            std::filesystem::create_directories(path, error);
            if (error) return error;
        }
        return TDirFd::Open(path, folder);
    }
    TDirFd rootFd;
    std::error_code error = TDirFd::Open(*root, rootFd);
    if (error == std::errc::no_such_file_or_directory && create) {
        std::filesystem::create_directories(*root, error);
        if (!error) error = TDirFd::Open(*root, rootFd);
    }
    if (error) return error;
    return OpenBeneath(rootFd.Get(), path.substr(root->size()), create, folder);
}

std::error_code TOwnedFolders::OpenParent(const std::string& path, bool create, TDirFd& parent,
                                          std::string& name) const {
    const std::string* root = RootOf(path);
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const TPathParts parts = SplitPath(trimmed);
    if (root != nullptr && trimmed.size() <= root->size()) {
        // The owned folder itself: its parent is reached by path, as the folder is.
        name = parts.name;
        return TDirFd::Open(parts.folder, parent);
    }
    name = parts.name;
    if (name == "." || name == "..") return std::make_error_code(std::errc::permission_denied);
    return OpenFolder(parts.folder, create, parent);
}

std::error_code RemoveTreeAt(int dirFd, const std::string& name) {
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? std::error_code() : LastError();
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) return LastError();
        return {};
    }
    int fd = ::openat(dirFd, name.c_str(), kFolderFlags);
    if (fd < 0) {
        // Swapped for something else since: a link goes as a link.
        if (errno == ELOOP || errno == ENOTDIR) {
            if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) return LastError();
            return {};
        }
        return errno == ENOENT ? std::error_code() : LastError();
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        std::error_code error = LastError();
        ::close(fd);
        return error;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> owner(dir, ::closedir);
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) return LastError();
            break;
        }
        std::string entryName = entry->d_name;
        if (entryName != "." && entryName != "..") names.push_back(std::move(entryName));
    }
    for (const auto& entryName : names) {
        if (std::error_code error = RemoveTreeAt(::dirfd(dir), entryName)) return error;
    }
    if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        return LastError();
    }
    return {};
}

}  // namespace ombrel
